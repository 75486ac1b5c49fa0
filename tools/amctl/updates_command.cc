#include "updates_command.h"

#include <cstring>
#include <fstream>
#include <iterator>

#include "adt/text.h"
#include "amctl.h"
#include "client_calls.h"

namespace amctl {
namespace {

constexpr uint8_t kList = 112;
constexpr uint8_t kUpload = 113;
constexpr uint8_t kModify = 114;
constexpr size_t kChunk = 64 * 1024;

const std::string& argAt(const std::vector<std::string>& args, size_t i, const char* what) {
  if (i >= args.size()) fail(kUsage, std::string("команде updates ") + args[0] + " нужен " + what);
  return args[i];
}

Result list(const std::vector<std::string>& args, amclient::Connection& c) {
  std::string path;
  bool details = false;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--details") {
      details = true;
    } else {
      path = args[i];
    }
  }
  std::vector<amclient::Element> params;
  if (details) params.push_back(amclient::Element::integer(1, 1));
  params.emplace_back(9, adt::Bytes{});
  c.sendCommand(kList, amclient::Element::text(0, path).value, params);
  const amclient::Reply reply = finish(c);
  Result result;
  result.listName = "entries";
  for (const amclient::Element& e : reply.elements) {
    if (e.tag == 1) {
      result.records.emplace_back();
      result.records.back().text("name", e.asText());
      continue;
    }
    if (result.records.empty()) continue;
    Record& r = result.records.back();
    if (e.tag == 2 && e.value.size() == 1) {
      r.text("kind", e.value[0] ? "directory" : "file");
    } else if (e.tag == 6 && e.value.size() == sizeof(double)) {
      double d = 0;
      std::memcpy(&d, e.value.data(), sizeof d);
      r.real("modified", d);
    } else if (e.tag == 3 && e.value.size() == 1) {
      r.number("status", e.value[0]);
    } else if (e.tag == 4) {
      r.text("status_text", e.asText());
    }
  }
  return result;
}

Result upload(const std::vector<std::string>& args, amclient::Connection& c) {
  const std::string& file = argAt(args, 1, "файл");
  const std::string& path = argAt(args, 2, "путь");
  std::ifstream in(file, std::ios::binary);
  if (!in) fail(kUsage, "не удалось прочитать файл " + file);
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  c.sendCommand(kUpload, amclient::Element::text(0, path).value);
  for (size_t at = 0; at < content.size(); at += kChunk) {
    const size_t n = content.size() - at < kChunk ? content.size() - at : kChunk;
    c.send(amclient::Element::bytes(1, content.data() + at, n));
  }
  c.send(amclient::Element(9, {}));
  finish(c);
  Result result;
  result.top.text("result", "загружен");
  result.top.number("bytes", static_cast<int64_t>(content.size()));
  return result;
}

Result modify(int32_t command, const std::string& path, const char* done, amclient::Connection& c) {
  c.sendCommand(kModify, amclient::Element::text(0, path).value,
                {amclient::Element::integer(1, command), amclient::Element(9, {})});
  finish(c);
  Result result;
  result.top.text("result", done);
  return result;
}

}  // namespace

Result updatesCommand(const std::vector<std::string>& args, amclient::Connection& c) {
  if (args.empty()) fail(kUsage, "команде updates нужна подкоманда (amctl --help)");
  const std::string& sub = args[0];
  if (sub == "list") return list(args, c);
  if (sub == "upload") return upload(args, c);
  if (sub == "delete") return modify(0, argAt(args, 1, "путь"), "удалён", c);
  if (sub == "bad") return modify(1, argAt(args, 1, "путь"), "помечен плохим", c);
  if (sub == "unbad") return modify(2, argAt(args, 1, "путь"), "пометка снята", c);
  if (sub == "unpack") return modify(3, "", "очистка выполнена", c);
  if (sub == "rescan") return modify(5, "", "пересканировано", c);
  // The manager installs the update and says whether it can restart itself (an error reply,
  // and so a failure exit code, when it cannot).
  if (sub == "apply") return modify(4, argAt(args, 1, "путь"), "установлено", c);
  fail(kUsage, "неизвестная подкоманда updates " + sub);
}

}  // namespace amctl

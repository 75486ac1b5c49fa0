#include "admin_commands.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "adt/tagged_reader.h"
#include "adt/tagged_writer.h"
#include "amctl.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/self.h"
#include "platform/terminal.h"

namespace amctl {
namespace {

constexpr int32_t kDefaultLogBytes = 65536;

const std::string& word(const std::vector<std::string>& args, size_t i, const char* cmd,
                        const char* what) {
  if (i >= args.size()) fail(kUsage, std::string("команде ") + cmd + " нужен " + what);
  return args[i];
}

// The file name the manager knows for amctl's short one.
std::string settingsName(const std::string& which) {
  if (which == "ini" || which == "conf") return which;
  if (which == "db" || which == "db.conf") return "db.conf";
  fail(kUsage, "неизвестный файл настроек " + which + " (ini, conf или db)");
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail(kUsage, "не удалось прочитать файл " + path);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

// Settings hold passwords: the copies amctl writes are its user's alone (made so before the
// text goes in).
void writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::error_code ignored;
  std::filesystem::permissions(
      path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ignored);
  if (!(out << text) || !out.flush()) fail(kUsage, "не удалось записать файл " + path);
}

// The identifier of the agent named `name`, from the agents list (its output log's name when
// it has none).
std::string agentIdByName(amclient::Connection& c, const std::string& name) {
  c.sendCommand(32, {});
  const amclient::Reply reply = finish(c);
  std::string id;
  bool inRecord = false;
  for (const amclient::Element& e : reply.elements) {
    if (e.tag == 52) {
      id.clear();
      inRecord = true;
    } else if (inRecord && e.tag == 51) {
      id = e.asText();
    } else if (inRecord && e.tag == 54 && e.asText() == name) {
      return id.empty() ? "nh-" + std::to_string(adt::crc64we(name)) : id;
    }
  }
  fail(kUnknownAgent, "Неизвестное имя агента \"" + name + "\"");
}

// The file's last `wanted` bytes (request 73): chunks of element 3 (length) and element 1
// (raw deflate), inflated here. Returns the bytes as stored (Windows-1251 for logs).
std::string readLogFile(amclient::Connection& c, const std::string& file, int32_t wanted) {
  c.sendCommand(73, {},
                {amclient::Element::text(74, file), amclient::Element::integer(75, wanted)});
  const amclient::Reply reply = finish(c);
  std::string out;
  for (const amclient::Element& e : reply.elements) {
    if (e.tag == 1) out += inflateRaw(e.value);
  }
  return out;
}

// --- settings ---

struct Settings {
  std::string text;  // as stored (Windows-1251)
  uint32_t stamp = 0;
};

Settings getSettings(amclient::Connection& c, const std::string& name) {
  c.sendCommand(39, {}, {amclient::Element::text(1, name), amclient::Element(9, {})});
  const amclient::Reply reply = finish(c);
  requireElement(reply, 2, "нет метки содержимого");
  Settings s;
  if (const amclient::Element* text = reply.find(1)) s.text.assign(text->value.begin(), text->value.end());
  s.stamp = static_cast<uint32_t>(reply.find(2)->asInt());
  return s;
}

// Sends a text in place of the file read with `stamp`; the new stamp.
uint32_t setSettings(amclient::Connection& c, const std::string& name, const std::string& stored,
                     uint32_t stamp) {
  c.sendCommand(40, adt::Bytes(stored.begin(), stored.end()),
                {amclient::Element::text(1, name),
                 amclient::Element::integer(2, static_cast<int32_t>(stamp)),
                 amclient::Element(9, {})});
  const amclient::Reply reply = finish(c);
  requireElement(reply, 2, "новая метка содержимого не получена");
  return static_cast<uint32_t>(reply.find(2)->asInt());
}

std::string stampFile(const std::string& file) { return file + ".stamp"; }

void settingsGet(const std::vector<std::string>& args, amclient::Connection& c, Result& result) {
  std::string which = "ini", outFile;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "-o") {
      outFile = word(args, ++i, "settings get -o", "файл");
    } else {
      which = args[i];
    }
  }
  const std::string name = settingsName(which);
  const Settings s = getSettings(c, name);
  const std::string text = adt::fromCp1251(s.text);
  result.top.text("file", name);
  result.top.number("stamp", s.stamp);
  if (outFile.empty()) {
    result.top.text("text", text);
    result.raw = text.empty() ? std::string("\n") : text;
    return;
  }
  writeText(outFile, text);
  writeText(stampFile(outFile), std::to_string(s.stamp) + "\n");
  result.top.text("saved", outFile);
}

uint32_t stampFor(const std::string& file, const std::string& given) {
  long long n = 0;
  if (!given.empty()) {
    if (!parseNumber(given, n) || n < 0 || n > 0xFFFFFFFFll) fail(kUsage, "неверная метка " + given);
    return static_cast<uint32_t>(n);
  }
  std::ifstream in(stampFile(file));
  std::string line;
  if (!in || !std::getline(in, line) || !parseNumber(line, n) || n < 0 || n > 0xFFFFFFFFll) {
    fail(kUsage, "не известна метка содержимого, на котором основан " + file +
                     ": укажите --stamp N или получите файл командой settings get -o " + file);
  }
  return static_cast<uint32_t>(n);
}

void settingsSet(const std::vector<std::string>& args, amclient::Connection& c, Result& result) {
  const std::string& file = word(args, 1, "settings set", "файл");
  std::string which = "ini", stamp;
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i] == "--stamp") {
      stamp = word(args, ++i, "settings set --stamp", "номер");
    } else {
      which = args[i];
    }
  }
  const std::string name = settingsName(which);
  const uint32_t based = stampFor(file, stamp);
  const uint32_t now = setSettings(c, name, adt::toCp1251(readText(file)), based);
  if (stamp.empty()) writeText(stampFile(file), std::to_string(now) + "\n");
  result.top.text("file", name);
  result.top.number("stamp", now);
  result.top.text("result", "настройки записаны и применены");
}

bool askAgain() {
  std::cerr << "Исправить и отправить снова? [Y/n] " << std::flush;
  std::string answer;
  if (!platform::readInputLine(answer)) return false;
  return answer.empty() || answer == "y" || answer == "Y" || answer == "д" || answer == "Д";
}

void settingsEdit(const std::vector<std::string>& args, amclient::Connection& c,
                  const Reconnect& reconnect, Result& result) {
  const std::string name = settingsName(args.size() > 1 ? args[1] : "ini");
  const Settings s = getSettings(c, name);
  const std::string original = adt::fromCp1251(s.text);
  const std::string path =
      (std::filesystem::temp_directory_path() /
       ("amctl-" + std::to_string(platform::currentProcessId()) + "-" + name + ".txt"))
          .string();
  writeText(path, original);
  for (;;) {
    if (platform::runEditor(path) != 0) {
      fail(kUsage, "редактор завершился с ошибкой; правка сохранена в " + path);
    }
    const std::string edited = readText(path);
    if (edited == original) {
      std::filesystem::remove(path);
      result.top.text("result", "без изменений");
      return;
    }
    try {
      const std::unique_ptr<amclient::Connection> second = reconnect();
      const uint32_t now = setSettings(*second, name, adt::toCp1251(edited), s.stamp);
      std::filesystem::remove(path);
      result.top.text("file", name);
      result.top.number("stamp", now);
      result.top.text("result", "настройки записаны и применены");
      return;
    } catch (const Failure& f) {
      // Errors in the text can be mended here; anything else (another edit came first, no
      // rights) cannot.
      if (f.message.find("в конфигурации найдены ошибки") == std::string::npos) {
        fail(f.code, f.message + "\nправка сохранена в " + path);
      }
      std::cerr << "amctl: " << f.message << "\n";
      if (!askAgain()) fail(f.code, "настройки не изменены; правка сохранена в " + path);
    }
  }
}

// --- logs ---

// A word with a path separator or a dot names a file ("log/am.log", "am.err"); any other word
// names an agent (its output log); --output makes any word an agent.
bool looksLikeFile(const std::string& w) {
  return w.find_first_of("/\\.") != std::string::npos;
}

// Prints what a file gained since `seen` (the last bytes printed), polling once a second;
// returns only with a failure.
[[noreturn]] void follow(const std::string& file, std::string seen, const Reconnect& reconnect) {
  for (;;) {
    platform::sleepMs(1000);
    const std::unique_ptr<amclient::Connection> c = reconnect();
    const std::string now = readLogFile(*c, file, kDefaultLogBytes);
    std::string fresh;
    if (seen.empty()) {
      fresh = now;
    } else {
      // Where the last printed bytes are in the new end of the file; all of it when they are
      // gone (the file was cut or grew by more than the window).
      const std::string mark = seen.size() > 512 ? seen.substr(seen.size() - 512) : seen;
      const size_t at = now.rfind(mark);
      fresh = at == std::string::npos ? now : now.substr(at + mark.size());
    }
    if (!fresh.empty()) {
      std::cout << adt::fromCp1251(fresh) << std::flush;
      seen = now;
    }
  }
}

void logCommand(const std::vector<std::string>& args, amclient::Connection& c,
                const Reconnect& reconnect, Result& result) {
  bool output = false, following = false;
  long long wanted = kDefaultLogBytes;
  std::vector<std::string> words;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--output") {
      output = true;
    } else if (a == "--follow" || a == "-f") {
      following = true;
    } else if (a == "-n") {
      if (!parseNumber(word(args, ++i, "log -n", "число байт"), wanted) || wanted <= 0 ||
          wanted > 0x7FFFFFFF) {
        fail(kUsage, "неверное число байт");
      }
    } else {
      words.push_back(a);
    }
  }
  if (words.size() > 1 &&
      (!parseNumber(words[1], wanted) || wanted <= 0 || wanted > 0x7FFFFFFF)) {
    fail(kUsage, "неверное число байт");
  }
  std::string file = words.empty() ? "log/am.log" : words[0];
  amclient::Connection* use = &c;
  std::unique_ptr<amclient::Connection> second;
  if (output || (!words.empty() && !looksLikeFile(file))) {
    // An agent: its own output log, log/<id>/<id>.out.
    std::string id;
    if (file.rfind("id:", 0) == 0) {
      id = file.substr(3);
    } else {
      id = agentIdByName(c, file);
      second = reconnect();
      use = second.get();
    }
    for (char& ch : id) {
      if (ch == '/') ch = '_';
    }
    file = "log/" + id + "/" + id + ".out";
  }
  const std::string bytes = readLogFile(*use, file, static_cast<int32_t>(wanted));
  if (following) {
    std::cout << adt::fromCp1251(bytes) << std::flush;
    follow(file, bytes, reconnect);
  }
  result.top.text("file", file);
  result.top.number("bytes", static_cast<int64_t>(bytes.size()));
  result.raw = adt::fromCp1251(bytes);
  result.top.text("text", result.raw);
}

void logsCommand(const std::vector<std::string>& args, amclient::Connection& c, Result& result) {
  const std::string agent = args.size() > 1 ? args[1] : "";
  c.sendCommand(99, amclient::Element::text(0, agent).value);
  const amclient::Reply reply = finish(c);
  result.listName = "files";
  for (const amclient::Element& e : reply.elements) {
    if (e.tag == 1) {
      result.records.emplace_back();
      result.records.back().text("name", e.asText());
    } else if (!result.records.empty() && e.value.size() == 4) {
      const int64_t v = static_cast<uint32_t>(e.asInt());
      if (e.tag == 2) result.records.back().number("bytes", v);
      if (e.tag == 3) result.records.back().number("kib", v);
    }
  }
  result.top.number("count", static_cast<int64_t>(result.records.size()));
}

// --- the rest ---

// The sample fields named in `names`: integers, except `realTag`, a double.
Result samples(const amclient::Reply& reply,
               const std::vector<std::pair<uint8_t, const char*>>& names, uint8_t realTag = 0) {
  return samplesResult(reply, [&](Record& sample, const amclient::Element& e) {
    for (const auto& [tag, name] : names) {
      if (tag != e.tag) continue;
      if (tag == realTag) {
        sample.real(name, asDouble(e));
      } else {
        sample.number(name, asInteger(e));
      }
    }
  });
}

void statsCommand(const std::vector<std::string>& args, amclient::Connection& c, Result& result) {
  double from = 0;
  for (size_t i = 1; i < args.size(); ++i) {
    long long minutes = 0;
    if (args[i] != "--since" || !parseNumber(word(args, ++i, "stats --since", "минуты"), minutes) ||
        minutes <= 0) {
      fail(kUsage, "использование: stats [--since МИНУТЫ]");
    }
    from = platform::toFractionalDays(platform::systemClock().localNow()) -
           static_cast<double>(minutes) / 1440;
  }
  adt::MemoryTaggedWriter window;
  const double to = 1e7;
  window.writeTag(1, &from, sizeof from);
  window.writeTag(2, &to, sizeof to);
  c.sendCommand(95, {}, {amclient::Element(202, window.toBytes())});
  result = samples(finish(c), {{22, "memory_percent"}, {20, "used_bytes"}, {21, "total_bytes"}});
}

void telemetryCommand(const std::vector<std::string>& args, amclient::Connection& c,
                      Result& result) {
  const amclient::Element agent = agentParam(word(args, 1, "telemetry", "агент"));
  adt::MemoryTaggedWriter nested;
  nested.writeBytes(agent.tag, agent.value);
  c.sendCommand(124, nested.toBytes());
  static const std::vector<std::pair<uint8_t, const char*>> kNames = {
      {2, "v2"},   {3, "v3"},   {4, "v4"},   {5, "v5"},   {6, "v6"},   {7, "v7"},   {8, "v8"},
      {9, "v9"},   {10, "v10"}, {11, "v11"}, {12, "v12"}, {13, "v13"}, {14, "v14"}, {15, "v15"},
      {16, "v16"}, {17, "v17"}, {18, "v18"}, {19, "v19"}, {20, "v20"}, {21, "gc_days"}};
  result = samples(finish(c), kNames, 21);
}

}  // namespace

bool adminCommand(const std::string& cmd, const std::vector<std::string>& args,
                  amclient::Connection& c, const Reconnect& reconnect, Result& result) {
  // `args` here is everything after the command word; index 0 is the first argument.
  std::vector<std::string> a{cmd};
  a.insert(a.end(), args.begin(), args.end());
  if (cmd == "settings") {
    if (args.empty()) return false;
    if (args[0] == "get") {
      settingsGet(args, c, result);
    } else if (args[0] == "set") {
      settingsSet(args, c, result);
    } else if (args[0] == "edit") {
      settingsEdit(args, c, reconnect, result);
    } else {
      return false;  // the settings of an agent
    }
    return true;
  }
  if ((cmd == "lock" || cmd == "unlock") && args.empty()) {
    c.sendCommand(67, amclient::Element::integer(0, cmd == "lock" ? 1 : 0).value);
    requireElement(finish(c), 34, "блокировка не подтверждена");
    result.top.text("result", cmd == "lock" ? "AM заблокирован" : "AM разблокирован");
    return true;
  }
  if (cmd == "log") {
    logCommand(a, c, reconnect, result);
  } else if (cmd == "logs") {
    logsCommand(a, c, result);
  } else if (cmd == "stats") {
    statsCommand(a, c, result);
  } else if (cmd == "console") {
    c.sendCommand(100, amclient::Element::text(0, word(a, 1, "console", "команда")).value);
    const amclient::Reply reply = finish(c);
    requireElement(reply, 1, "нет ответа консоли");
    result.raw = reply.find(1)->asText();
    result.top.text("output", result.raw);
  } else if (cmd == "broadcast") {
    const std::string text = adt::toCp1251(word(a, 1, "broadcast", "текст"));
    c.sendCommand(38, adt::Bytes(text.begin(), text.end()));
    finish(c);
    result.top.text("result", "отправлено агентам");
  } else if (cmd == "telemetry") {
    telemetryCommand(a, c, result);
  } else {
    return false;
  }
  return true;
}

}  // namespace amctl

#include "amctl.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>

#include "adt/exception.h"
#include "adt/tagged_reader.h"
#include "adt/tagged_writer.h"
#include "amclient/amclient.h"
#include "output.h"
#include "admin_commands.h"
#include "client_calls.h"
#include "locate.h"
#include "platform/clock.h"
#include "platform/terminal.h"
#include "server/arguments.h"
#include "updates_command.h"
#include "whoami_command.h"

namespace amctl {
namespace {

struct Options {
  std::string host = "127.0.0.1";
  uint16_t port = 5001;
  bool havePort = false;
  std::string settings;  // am.ini whose client_port is the port
  bool commandHelp = false;
  std::string user;
  bool haveUser = false;
  std::string passwordFile;
  bool json = false;
  std::string command;
  std::vector<std::string> args;
};


Options parse(const std::vector<std::string>& args) {
  Options o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) fail(kUsage, "для " + a + " не указано значение");
      return args[++i];
    };
    if (a == "--help" || a == "-h") {
      if (o.command.empty() || o.command == "help") {
        o.command = "help";
      } else {
        o.commandHelp = true;  // "amctl agents --help"
      }
    } else if (a == "--version" && o.command.empty()) {
      o.command = "version";
    } else if (a == "--settings") {
      o.settings = value();
    } else if (a == "--host") {
      o.host = value();
    } else if (a == "--port") {
      long long p = 0;
      if (!parseNumber(value(), p) || p <= 0 || p > 65535) fail(kUsage, "неверный номер порта");
      o.port = static_cast<uint16_t>(p);
      o.havePort = true;
    } else if (a == "--user") {
      o.user = value();
      o.haveUser = true;
    } else if (a == "--password-file") {
      o.passwordFile = value();
    } else if (a == "--json") {
      o.json = true;
    } else if (a.size() > 1 && a[0] == '-' && o.command.empty()) {
      fail(kUsage, "неизвестный параметр " + a);
    } else if (o.command.empty()) {
      o.command = a;
    } else {
      o.args.push_back(a);
    }
  }
  return o;
}

std::string password(const Options& o, const char* envPassword) {
  if (!o.passwordFile.empty()) {
    std::ifstream in(o.passwordFile, std::ios::binary);
    if (!in) fail(kLoginFailed, "не удалось прочитать файл пароля " + o.passwordFile);
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
  if (envPassword) return envPassword;
  std::string typed;
  if (!platform::readSecretLine("Пароль для " + o.user + ": ", typed)) {
    fail(kLoginFailed,
         "пароль не задан (нет терминала; используйте --password-file или AM_PASSWORD)");
  }
  return typed;
}

const std::string& arg(const Options& o, size_t i, const char* what) {
  if (i >= o.args.size()) fail(kUsage, std::string("команде ") + o.command + " нужен " + what);
  return o.args[i];
}

std::string hex(const adt::Bytes& bytes) {
  std::string out;
  char b[3];
  for (uint8_t c : bytes) {
    std::snprintf(b, sizeof b, "%02x", c);
    out += b;
  }
  return out;
}

// A tagged stream from an agent, its elements as fields "<tag>" (texts; other values in hex).
void addStream(Record& r, const adt::Bytes& bytes, const std::string& prefix) {
  try {
    adt::TaggedBufferReader in(bytes);
    for (uint8_t tag = in.nextTag(); tag != 0; tag = in.nextTag()) {
      r.text(prefix + std::to_string(tag), in.readString());
    }
  } catch (const std::exception&) {
    r.text(prefix + "bytes", hex(bytes));
  }
}

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// A nested stream of integers (4 or 8 bytes), doubles where `doubles` names the tag, and texts
// where `texts` does, as fields named by `names` (tag -> name; unnamed tags are skipped).
void addNested(Record& r, const adt::Bytes& bytes,
               const std::vector<std::pair<uint8_t, const char*>>& names,
               const std::vector<uint8_t>& doubles = {}, const std::vector<uint8_t>& texts = {}) {
  adt::TaggedBufferReader in(bytes);
  for (uint8_t tag = in.nextTag(); tag != 0; tag = in.nextTag()) {
    const char* name = nullptr;
    for (const auto& [t, n] : names) {
      if (t == tag) name = n;
    }
    adt::Bytes value;
    in.readBytes(value);
    if (!name) continue;
    const amclient::Element e(tag, value);
    if (std::find(texts.begin(), texts.end(), tag) != texts.end()) {
      r.text(name, e.asText());
    } else if (std::find(doubles.begin(), doubles.end(), tag) != doubles.end()) {
      r.real(name, asDouble(e));
    } else if (value.size() == 2) {
      r.number(name, value[0] | value[1] << 8);
    } else {
      r.number(name, asInteger(e));
    }
  }
}

// The fields of one process sample (command 94 and the agents list).
const std::vector<std::pair<uint8_t, const char*>> kProcessSampleNames = {
    {1, "pid"},           {2, "user_ms"},         {3, "kernel_ms"},
    {4, "working_set_kb"}, {5, "peak_working_set_kb"}, {6, "page_file_kb"}};

// The reply of the threads request: one record per task group.
Result threadsResult(const amclient::Reply& reply) {
  Result result;
  result.listName = "tasks";
  Record* current = nullptr;
  for (const amclient::Element& e : reply.elements) {
    switch (e.tag) {
      case 60:
        result.top.number("tasks", e.asInt());
        break;
      case 5:
        result.top.text("decoding", e.asText());
        break;
      case 90:
        result.top.time("list_time", asDouble(e));
        break;
      case 59:
        if (e.value.size() != 20) fail(kNoAnswer, "неверный формат задачи в ответе");
        result.records.emplace_back();
        current = &result.records.back();
        current->number("id", le32(&e.value[0]));
        current->number("type", static_cast<int32_t>(le32(&e.value[4])));
        current->number("op", static_cast<int32_t>(le32(&e.value[8])));
        current->number("pulse", le32(&e.value[12]));
        current->number("thread", le32(&e.value[16]));
        break;
      case 76:
        if (current) {
          addNested(*current, e.value,
                    {{1, "rq"}, {2, "still_ms"}, {3, "finished"}, {4, "rq_time"}, {5, "blocked"},
                     {6, "context"}, {7, "extra"}, {9, "user"}, {13, "stack"}},
                    {3, 9}, {6, 13});
          current->showAsTime("finished");
        }
        break;
      case 14:
        if (current) current->text("stack", e.asText());
        break;
      default:
        break;
    }
  }
  return result;
}

// The nested time window {1 from, 2 to} of the statistics requests: everything kept.
adt::Bytes wholeWindow(const int32_t* kind) {
  adt::MemoryTaggedWriter nested;
  const double from = 0, to = 1e7;
  nested.writeTag(1, &from, sizeof from);
  nested.writeTag(2, &to, sizeof to);
  if (kind) nested.writeInt(3, *kind);
  return nested.toBytes();
}

Result agentsCommand(amclient::Connection& c) {
  c.sendCommand(32, {});
  const amclient::Reply reply = finish(c);
  Result result;
  result.listName = "agents";
  Record* current = nullptr;
  for (const amclient::Element& e : reply.elements) {
    if (e.tag == 52) {
      result.records.emplace_back();
      current = &result.records.back();
      continue;
    }
    if (e.tag == 93) {
      addNested(result.top, e.value,
                {{1, "memory_load"},
                 {3, "memory_total_kb"},
                 {4, "memory_used_kb"},
                 {2, "cpu_busy_1m"},
                 {5, "cpu_busy_5m"},
                 {6, "cpu_busy_15m"}},
                {2, 5, 6});
      continue;
    }
    if (e.tag == 70) {
      result.top.text("manager_lock", e.asInt() == 1 ? "с этого адреса" : "с другого адреса");
      continue;
    }
    if (e.tag == 106) {
      result.top.text("manager_locked_by", e.asText());
      continue;
    }
    if (!current) continue;
    switch (e.tag) {
      case 51:
        current->text("id", e.asText());
        break;
      case 54:
        current->text("name", e.asText());
        break;
      case 55:
        current->text("description", e.asText());
        break;
      case 121:
        current->number("worker", asInteger(e));
        break;
      case 120:
        current->number("kind", e.asInt());
        break;
      case 56:
        current->text("state", e.asText());
        break;
      case 18:
        current->number("pid", e.asInt());
        break;
      case 19:
        current->number("port", e.asInt());
        break;
      case 20:
        current->number("clients", e.asInt());
        break;
      case 69:
        current->text("locked_by", e.asText());
        break;
      case 105:
        current->text("redirect", e.asText());
        break;
      case 84:
        current->text("start_reason", e.asText());
        break;
      case 58:
        current->text("stop_reason", e.asText());
        break;
      case 10:
        current->text("cmd", e.asText());
        break;
      case 26:
        current->text("args", e.asText());
        break;
      case 33:
        current->text("dir", e.asText());
        break;
      case 90:
        current->text("distribution", e.asText());
        break;
      case 85:
        current->real("started", asDouble(e));
        break;
      case 71:
        if (e.value.size() == 16) {
          current->text("version", adt::format("%u.%u.%u", le32(&e.value[0]), le32(&e.value[4]),
                                                le32(&e.value[8])));
        }
        break;
      case 23:
        current->number("reported_clients", e.asInt());
        break;
      case 109:
        current->number("active", e.asInt());
        break;
      case 59:
        current->number("load_score", e.asInt());
        break;
      case 92:  // the newest process sample; its pid is element 18's
        addNested(*current, e.value,
                  {kProcessSampleNames.begin() + 1, kProcessSampleNames.end()});
        break;
      case 29: {
        Record stats;
        addNested(stats, e.value,
                  {{1, "1"}, {2, "2"}, {3, "3"}, {4, "4"}, {5, "5"}, {6, "6"}, {7, "7"}, {8, "8"},
                   {9, "9"}, {10, "10"}, {11, "11"}, {12, "12"}, {13, "13"}, {14, "14"}, {15, "15"}});
        std::string joined;
        for (const Field& f : stats.fields) joined += (joined.empty() ? "" : ",") + f.value;
        current->text("load", joined);
        break;
      }
      default:
        break;
    }
  }
  return result;
}

// Stops the agent (request 33), waiting for the manager's confirmation; `timeout` in ms or
// empty for the default.
void stopAgent(const std::string& agent, const std::string& timeout, amclient::Connection& c) {
  std::vector<amclient::Element> params;
  if (agent.rfind("id:", 0) == 0) params.push_back(agentParam(agent));
  if (!timeout.empty()) {
    long long t = 0;
    if (!parseNumber(timeout, t) || t < 0 || t > 0x7FFFFFFF) fail(kUsage, "неверный таймаут");
    params.push_back(amclient::Element::integer(110, static_cast<int32_t>(t)));
  }
  params.emplace_back(9, adt::Bytes{});
  c.sendCommand(33, amclient::Element::text(0, agent.rfind("id:", 0) == 0 ? "" : agent).value,
                params);
  requireElement(finish(c), 34, "остановка не подтверждена");
}

// The client login to an agent (request 14), which starts it when it is stopped: its port (or
// redirect) into `top`. With `again`, asked on new connections for up to 60 s while the agent
// is still starting; false when no port came.
bool startAgent(const std::string& agent, amclient::Connection& c, Record& top,
                const Reconnect* again) {
  const uint64_t until = platform::systemClock().nowMs() + 60000;
  std::unique_ptr<amclient::Connection> next;
  amclient::Connection* use = &c;
  for (;;) {
    use->sendCommand(14, amclient::Element::text(0, agent).value);
    const amclient::Reply reply = finish(*use);
    if (const amclient::Element* port = reply.find(14)) {
      if (const amclient::Element* kind = reply.find(120)) top.number("kind", kind->asInt());
      top.number("port", port->asInt());
      return true;
    }
    if (const amclient::Element* redirect = reply.find(107)) {
      top.text("redirect", redirect->asText());
      return true;
    }
    if (!again || platform::systemClock().nowMs() > until) return false;
    platform::sleepMs(250);
    next = (*again)();
    use = next.get();
  }
}

// The agents list as a table: name, state, pid, uptime, version, clients, load; one agent
// when `only` names it.
Result statusResult(const Result& list, const std::string& only) {
  Result result;
  result.listName = "agents";
  const double now = platform::toFractionalDays(platform::systemClock().localNow());
  const auto value = [](const Record& r, const char* name) {
    const Field* f = r.find(name);
    return f ? f->value : std::string();
  };
  for (const Record& agent : list.records) {
    const std::string name = value(agent, "name");
    if (!only.empty() && name != only && "id:" + value(agent, "id") != only) continue;
    Record row;
    const std::string worker = value(agent, "worker");
    // Workers of one section share its name: each is told apart by its number.
    row.text("name", worker.empty() || worker == "0" ? name : name + "#" + worker);
    row.text("state", value(agent, "state"));
    const std::string pid = value(agent, "pid");
    row.number("pid", pid.empty() ? 0 : std::atoll(pid.c_str()));
    const std::string started = value(agent, "started");
    const int64_t uptime =
        started.empty() ? 0 : static_cast<int64_t>((now - std::atof(started.c_str())) * 86400);
    row.number("uptime_s", uptime < 0 ? 0 : uptime);
    row.number("up", started.empty() ? 0 : 1);
    row.text("version", value(agent, "version"));
    const std::string clients = value(agent, "reported_clients");
    row.number("clients", std::atoll((clients.empty() ? value(agent, "clients") : clients).c_str()));
    row.number("load", std::atoll(value(agent, "load_score").c_str()));
    result.records.push_back(std::move(row));
  }
  if (!only.empty() && result.records.empty()) {
    fail(kUnknownAgent, "Неизвестное имя агента \"" + only + "\"");
  }
  // People get aligned columns; uptime as d.hh:mm:ss.
  const std::vector<std::string> heads = {"NAME", "STATE", "PID", "UPTIME", "VERSION", "CLIENTS",
                                          "LOAD"};
  std::vector<std::vector<std::string>> rows = {heads};
  for (const Record& r : result.records) {
    const int64_t up = std::atoll(value(r, "uptime_s").c_str());
    std::string uptime = "-";
    if (value(r, "up") == "1") {
      uptime = adt::format("%lld:%02lld:%02lld", static_cast<long long>(up / 3600),
                           static_cast<long long>(up / 60 % 60), static_cast<long long>(up % 60));
    }
    const std::string pid = value(r, "pid");
    rows.push_back({value(r, "name"), value(r, "state").empty() ? "-" : value(r, "state"),
                    pid == "0" ? "-" : pid, uptime,
                    value(r, "version").empty() ? "-" : value(r, "version"), value(r, "clients"),
                    value(r, "load")});
  }
  std::vector<size_t> width(heads.size(), 0);
  const auto length = [](const std::string& s) {
    size_t n = 0;
    for (unsigned char ch : s) n += (ch & 0xC0) != 0x80;  // characters, not bytes
    return n;
  };
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], length(row[i]));
  }
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(width[i] - length(row[i]) + 2, ' ');
    }
    result.raw += line + "\n";
  }
  return result;
}

Result run(const Options& o, amclient::Connection& c, const Reconnect& reconnect) {
  Result result;
  Record& top = result.top;
  const std::string& cmd = o.command;
  if (adminCommand(cmd, o.args, c, reconnect, result)) return result;
  if (cmd == "agents") return agentsCommand(c);
  if (cmd == "updates") return updatesCommand(o.args, c);
  if (cmd == "whoami") return whoamiCommand(whoamiService(o.args, o.host), c);
  if (cmd == "connect") {
    if (!startAgent(arg(o, 0, "агент"), c, top, nullptr)) {
      fail(kNoAnswer, "агент запускается, адрес пока не известен");
    }
  } else if (cmd == "start") {
    // The login a client makes starts a stopped agent; asked again until it has its port.
    if (!startAgent(arg(o, 0, "агент"), c, top, &reconnect)) {
      fail(kNoAnswer, "агент не сообщил порт за 60 с");
    }
  } else if (cmd == "restart") {
    const std::string& agent = arg(o, 0, "агент");
    stopAgent(agent, o.args.size() > 1 ? o.args[1] : "", c);
    const std::unique_ptr<amclient::Connection> second = reconnect();
    if (!startAgent(agent, *second, top, &reconnect)) {
      fail(kNoAnswer, "агент не сообщил порт за 60 с");
    }
  } else if (cmd == "status") {
    return statusResult(agentsCommand(c), o.args.empty() ? "" : o.args[0]);
  } else if (cmd == "info") {
    long long code = 0;
    if (o.args.size() > 1 && !parseNumber(o.args[1], code)) fail(kUsage, "неверный код");
    c.sendCommand(36, amclient::Element::integer(0, static_cast<int32_t>(code)).value,
                  {agentParam(arg(o, 0, "агент")), amclient::Element(9, {})});
    const amclient::Reply reply = finish(c);
    requireElement(reply, 96, "нет сведений об агенте");
    top.text("info", reply.find(96)->asText());
    if (const amclient::Element* answer = reply.find(37)) addStream(top, answer->value, "agent_");
  } else if (cmd == "stop") {
    stopAgent(arg(o, 0, "агент"), o.args.size() > 1 ? o.args[1] : "", c);
    top.text("result", "остановлен");
  } else if (cmd == "lock" || cmd == "unlock") {
    c.sendCommand(68, amclient::Element::integer(0, cmd == "lock" ? 1 : 0).value,
                  {agentParam(arg(o, 0, "агент"))});
    requireElement(finish(c), 34, "блокировка не подтверждена");
    top.text("result", cmd == "lock" ? "заблокирован" : "разблокирован");
  } else if (cmd == "settings") {
    c.sendCommand(48, {}, {agentParam(arg(o, 0, "агент")), amclient::Element(9, {})});
    const amclient::Reply reply = finish(c);
    requireElement(reply, 1, "нет настроек");
    top.text("settings", reply.find(1)->asText());
  } else if (cmd == "threads") {
    const std::string& agent = arg(o, 0, "агент");
    int32_t flags = 0;
    if (o.args.size() > 1) {
      if (o.args[1] != "history") fail(kUsage, "неизвестный аргумент " + o.args[1]);
      flags = 1;
    }
    c.sendCommand(35, amclient::Element::text(0, agent).value,
                  {agentParam(agent), amclient::Element::integer(120, flags),
                   amclient::Element(9, {})});
    const amclient::Reply reply = finish(c);
    requireElement(reply, 60, "нет списка задач");
    return threadsResult(reply);
  } else if (cmd == "processes") {
    c.sendCommand(94, {},
                  {agentParam(arg(o, 0, "агент")), amclient::Element(202, wholeWindow(nullptr))});
    return samplesResult(finish(c), [](Record& sample, const amclient::Element& e) {
      if (e.tag == 202) addNested(sample, e.value, kProcessSampleNames);
    });
  } else if (cmd == "statistics") {
    long long kind = 0;
    if (o.args.size() > 1 && !parseNumber(o.args[1], kind)) fail(kUsage, "неверный вид статистики");
    const int32_t kind32 = static_cast<int32_t>(kind);
    c.sendCommand(91, {},
                  {agentParam(arg(o, 0, "агент")), amclient::Element(202, wholeWindow(&kind32))});
    const amclient::Reply reply = finish(c);
    if (kind == 0) {
      // The manager's own copy of the agent's samples: time, the sample's size, its count.
      return samplesResult(reply, [](Record& sample, const amclient::Element& e) {
        if (e.tag == 202) sample.number("bytes", static_cast<int64_t>(e.value.size()));
        if (e.tag == 25) sample.number("count", e.asInt());
      });
    }
    top.number("elements", static_cast<int64_t>(reply.elements.size()));
    for (const amclient::Element& e : reply.elements) {
      if (e.tag == 1 && e.value.size() == 8) {
        top.time("time", asDouble(e));
      } else {
        top.text(std::to_string(e.tag),
                 e.value.size() == 4 ? std::to_string(e.asInt()) : e.asText());
      }
    }
  } else if (cmd == "kill-client" || cmd == "kill-clients") {
    const bool one = cmd == "kill-client";
    const adt::Bytes value =
        one ? amclient::Element::text(0, arg(o, 1, "идентификатор клиента")).value : adt::Bytes{};
    c.sendCommand(one ? 72 : 119, value,
                  {agentParam(arg(o, 0, "агент")), amclient::Element(9, {})});
    finish(c);
    top.text("result", "отправлено агенту");
  } else if (cmd == "proxy") {
    const std::string& id = arg(o, 0, "идентификатор агента");
    long long code = 0;
    if (!parseNumber(arg(o, 1, "код запроса"), code)) fail(kUsage, "неверный код запроса");
    const std::string payload = o.args.size() > 2 ? o.args[2] : "";
    c.sendCommand(115, amclient::Element::integer(0, static_cast<int32_t>(code)).value,
                  {amclient::Element::text(51, id.rfind("id:", 0) == 0 ? id.substr(3) : id),
                   amclient::Element(9, adt::Bytes(payload.begin(), payload.end()))});
    const amclient::Reply reply = finish(c);
    adt::MemoryTaggedWriter raw;
    for (const amclient::Element& e : reply.elements) raw.writeBytes(e.tag, e.value);
    addStream(top, raw.toBytes(), "answer_");
  } else if (cmd == "mail") {
    const std::string& subject = arg(o, 0, "тема");
    const std::string text = o.args.size() > 1 ? o.args[1] : "";
    c.sendCommand(102, amclient::Element::text(0, text).value,
                  {amclient::Element::text(1, subject), amclient::Element(9, {})});
    const amclient::Reply reply = finish(c);
    if (const amclient::Element* error = reply.find(13)) {
      fail(kRefused, "оповещение не отправлено: " + error->asText());
    }
    requireElement(reply, 9, "отправка не подтверждена");
    top.text("result", "отправлено");
  } else {
    fail(kUsage, "неизвестная команда " + cmd);
  }
  return result;
}

Result passwd(const Options& o, amclient::Connection& c, const char* envPassword) {
  const std::string user = o.args.empty() ? o.user : o.args[0];
  std::string first, second;
  if (const char* fromEnv = std::getenv("AM_NEW_PASSWORD")) {
    first = second = fromEnv;
  } else if (!platform::readSecretLine("Новый пароль для " + user + ": ", first) ||
             !platform::readSecretLine("Повторите пароль: ", second)) {
    fail(kUsage, "новый пароль не задан (нет терминала; используйте AM_NEW_PASSWORD)");
  }
  (void)envPassword;
  if (first != second) fail(kUsage, "пароли не совпадают");
  amclient::Salt salt;
  std::random_device random;
  const char* digits = "0123456789ABCDEF";
  for (uint8_t& b : salt) b = static_cast<uint8_t>(digits[random() % 16]);
  const amclient::Digest hash = amclient::passwordHash(user, salt, first);
  c.sendCommand(65, {},
                {amclient::Element::text(20, user), amclient::Element::bytes(21, hash.data(), 16),
                 amclient::Element::bytes(22, salt.data(), 8)});
  requireElement(finish(c), 34, "пароль не сохранён");
  Result result;
  result.top.text("result", "пароль пользователя " + user + " изменён");
  return result;
}

}  // namespace

int exitCodeFor(int32_t replyCode) {
  switch (replyCode) {
    case 0x1002:
      return kPrivileges;
    case 0x1010:
      return kUnknownAgent;
    case 0x1011:
      return kAgentLocked;
    case 0x1012:
      return kAgentStopped;
    default:
      return kRefused;
  }
}

int run(const std::vector<std::string>& args, const char* envPassword) {
  Options o;
  try {
    o = parse(args);
    if (o.command == "help") {
      std::cout << helpText();
      return kOk;
    }
    if (o.command == "version") {
      std::cout << "amctl " << adt::versionText(server::kVersion) << "\n";
      return kOk;
    }
    if (o.command.empty()) fail(kUsage, "не указана команда (amctl --help)");
    // Usage errors come before any connection.
    if (!knownCommand(o.command)) fail(kUsage, "неизвестная команда " + o.command + " (amctl --help)");
    if (o.commandHelp) {
      const std::string help = commandHelp(helpText(), o.command);
      std::cout << (help.empty() ? helpText() : help);
      return kOk;
    }
    if (o.command == "whoami") whoamiService(o.args, o.host);  // its usage errors too
    if (!o.havePort) o.port = defaultPort(o.settings);
    const bool needsUser = o.command == "passwd";
    if (needsUser && !o.haveUser) fail(kUsage, "команде passwd нужен --user");
    std::string secret;
    if (o.haveUser) secret = password(o, envPassword);

    // One command per connection: a command that needs a second one opens it the same way.
    const Reconnect open = [&o, &secret]() {
      auto c = std::make_unique<amclient::Connection>(130000);
      try {
        c->connect(o.host, o.port);
      } catch (const std::exception& e) {
        fail(kConnection, connectionFailure(o.host, o.port, e));
      }
      try {
        c->readGreeting();
        c->sendHandshake();
      } catch (const adt::Exception& e) {
        fail(kConnection,
             "нет связи с AM " + o.host + ":" + std::to_string(o.port) + ": " + e.text());
      }
      if (o.haveUser) {
        const amclient::LoginResult login = c->login(o.user, secret);
        if (!login.ok) fail(kLoginFailed, "вход не выполнен: " + login.failureText);
      }
      return c;
    };
    const std::unique_ptr<amclient::Connection> c = open();
    const Result result = o.command == "passwd" ? passwd(o, *c, envPassword) : run(o, *c, open);
    if (!o.json && !result.raw.empty()) {
      std::cout << result.raw;
    } else {
      std::cout << (o.json ? toJson(result) : toText(result));
    }
    return kOk;
  } catch (const Failure& f) {
    if (o.json) {
      std::cout << "{\"ok\":false,\"exit\":" << f.code << ",\"error\":" << jsonQuote(f.message)
                << "}\n";
    }
    std::cerr << "amctl: " << f.message << "\n";
    return f.code;
  } catch (const amclient::ReplyError& e) {
    const int code = exitCodeFor(e.code());
    if (o.json) {
      std::cout << "{\"ok\":false,\"exit\":" << code << ",\"error\":" << jsonQuote(e.text())
                << "}\n";
    }
    std::cerr << "amctl: " << e.text() << "\n";
    return code;
  } catch (const std::exception& e) {
    if (o.json) {
      std::cout << "{\"ok\":false,\"exit\":" << kConnection << ",\"error\":" << jsonQuote(e.what())
                << "}\n";
    }
    std::cerr << "amctl: " << e.what() << "\n";
    return kConnection;
  }
}

std::string helpText() {
  return "Использование: amctl [параметры] <команда> [аргументы]\n"
         "       amctl <команда> --help   справка по одной команде\n"
         "\n"
         "Параметры:\n"
         "  --help                 эта справка\n"
         "  --host <адрес>         адрес AM (по умолчанию 127.0.0.1)\n"
         "  --version              версия amctl\n"
         "  --port <порт>          клиентский порт AM; без него - из AM_CLIENT_PORT, иначе\n"
         "                         client_port из --settings <am.ini>, иначе из am.ini\n"
         "                         рядом с первым am в PATH, иначе из /opt/am/am.ini,\n"
         "                         иначе 5001\n"
         "  --settings <am.ini>    файл настроек AM, из которого берётся порт\n"
         "  --user <имя>           войти под этим пользователем; пароль берётся из\n"
         "                         --password-file, иначе из переменной AM_PASSWORD,\n"
         "                         иначе запрашивается без отображения\n"
         "  --password-file <файл> файл, первая строка которого - пароль\n"
         "  --json                 вывод одним объектом JSON\n"
         "\n"
         "Агент задаётся именем или как id:<идентификатор>.\n"
         "Команды:\n"
         "  agents                        список агентов\n"
         "  status [агент]                таблица: имя, состояние, pid, время работы, версия,\n"
         "                                клиенты, нагрузка (--json: числами)\n"
         "  start <агент>                 запустить агента и дождаться его порта\n"
         "  restart <агент> [таймаут мс]  остановить и снова запустить\n"
         "  connect <агент>               порт, на котором агент принимает клиентов\n"
         "                                (запускает остановленного агента)\n"
         "  info <агент> [код]            время запуска и работы, ответ агента\n"
         "  stop <агент> [таймаут мс]     остановить агента (не меньше 20000 мс)\n"
         "  lock <агент>, unlock <агент>  заблокировать агента за своим адресом и снять\n"
         "  settings <агент>              настройки агента\n"
         "  threads <агент> [history]     задачи агента (с историей завершённых)\n"
         "  statistics <агент> [вид]      статистика агента (вид 0 - выборки, хранимые AM)\n"
         "  processes <агент>             замеры процессов агента (каждые 5 с)\n"
         "  kill-client <агент> <ид>      отключить одного клиента агента\n"
         "  kill-clients <агент>          отключить всех клиентов агента\n"
         "  proxy <ид агента> <код> [данные]  передать запрос агенту\n"
         "  mail <тема> [текст]           письмо администраторам (admin.mail) через AM\n"
         "  log [файл|агент] [-n байт] [--follow]\n"
         "                                конец журнала AM (по умолчанию log/am.log) или\n"
         "                                файла из каталогов журналов (слово с \"/\" или\n"
         "                                \".\"), иначе журнала вывода агента\n"
         "                                log/<id>/<id>.out; --follow - дописываемое далее\n"
         "  log <агент> --output [байт]   журнал вывода агента (любое имя)\n"
         "  logs [агент]                  список журналов AM или агента\n"
         "  settings get [ini|conf|db] [-o файл]\n"
         "                                файл настроек AM (conf: dor.conf, пока его нет -\n"
         "                                dor64.conf); -o сохраняет его и метку в файл.stamp\n"
         "  settings set <файл> [ini|conf|db] [--stamp N]\n"
         "                                записать и применить без перезапуска; метка из\n"
         "                                файл.stamp, иначе --stamp (чужая правка отклоняется)\n"
         "  settings edit [ini|conf|db]   правка в $VISUAL/$EDITOR с проверкой\n"
         "  stats [--since минут]         замеры памяти AM (каждые 5 с)\n"
         "  lock, unlock                  заблокировать AM за своим адресом и снять\n"
         "  console <команда>             команда консоли AM (a, s, ?)\n"
         "  broadcast <текст>             сообщение всем запущенным агентам\n"
         "  telemetry <агент>             выборки телеметрии агента (без входа)\n"
         "  passwd [пользователь]         сменить пароль (новый: запрос или AM_NEW_PASSWORD)\n"
         "  updates list [путь] [--details]  содержимое каталога обновлений\n"
         "  updates upload <файл> <путь>  загрузить файл в каталог обновлений\n"
         "  updates delete|bad|unbad <путь>  удалить файл, пометить плохим, снять пометку\n"
         "  updates rescan                пересканировать дистрибутивы агентов\n"
         "  updates unpack                удалить распакованные версии без дистрибутива\n"
         "  updates apply <путь>          установить обновление AM из каталога am\n"
         "  whoami [--negotiate] [--service <имя>]\n"
         "                                имя учётной записи, которое AM узнаёт по билету\n"
         "                                Kerberos пользователя (KRB5CCNAME); служба AM по\n"
         "                                умолчанию host@<адрес из --host>\n"
         "\n"
         "Коды завершения:\n"
         "  0  успешно\n"
         "  1  неверные параметры или команда\n"
         "  2  нет связи с AM или связь прервана\n"
         "  3  неверное имя пользователя или пароль, пароль не задан, нет билета Kerberos\n"
         "  4  привилегий недостаточно\n"
         "  5  неизвестное имя агента\n"
         "  6  агент заблокирован с другого адреса\n"
         "  7  агент остановился или останавливается\n"
         "  8  AM отказал (прочие ошибки)\n"
         "  9  AM закрыл соединение без ожидаемого ответа\n";
}

}  // namespace amctl

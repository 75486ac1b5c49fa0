#include "output.h"

#include <cstdio>

#include <cstdlib>

#include "adt/json.h"
#include "platform/clock.h"

namespace amctl {

void Record::real(const std::string& name, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.6f", value);
  fields.push_back({name, buffer, true, {}});
}

namespace {

std::string dateTime(double days) {
  if (days == 0) return "-";
  const platform::LocalTime t = platform::fromFractionalDays(days);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%02d.%02d.%04d %02d:%02d:%02d", t.day, t.month, t.year,
                t.hour, t.minute, t.second);
  return buffer;
}

}  // namespace

void Record::time(const std::string& name, double days) {
  real(name, days);
  fields.back().human = dateTime(days);
}

void Record::showAsTime(const std::string& name) {
  for (Field& f : fields) {
    if (f.name == name && f.number) f.human = dateTime(std::strtod(f.value.c_str(), nullptr));
  }
}

const Field* Record::find(const std::string& name) const {
  for (const Field& f : fields) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

std::string jsonQuote(const std::string& text) {
  std::string out;
  adt::appendJsonString(out, text);
  return out;
}

namespace {

void appendFields(const Record& record, std::string& out, bool& first) {
  for (const Field& f : record.fields) {
    if (!first) out += ",";
    first = false;
    out += jsonQuote(f.name) + ":" + (f.number ? f.value : jsonQuote(f.value));
  }
}

}  // namespace

std::string toJson(const Result& result) {
  std::string out = "{\"ok\":true";
  bool first = false;
  appendFields(result.top, out, first);
  if (!result.listName.empty()) {
    out += "," + jsonQuote(result.listName) + ":[";
    for (size_t i = 0; i < result.records.size(); ++i) {
      if (i) out += ",";
      out += "{";
      bool firstField = true;
      appendFields(result.records[i], out, firstField);
      out += "}";
    }
    out += "]";
  }
  return out + "}\n";
}

std::string toText(const Result& result) {
  std::string out;
  for (const Field& f : result.top.fields) {
    if (f.value.find('\n') != std::string::npos) {
      out += f.name + ":\n" + f.value;
      if (f.value.back() != '\n') out += "\n";
    } else {
      out += f.name + ": " + (f.human.empty() ? f.value : f.human) + "\n";
    }
  }
  for (const Record& r : result.records) {
    std::string line;
    for (const Field& f : r.fields) {
      if (!line.empty()) line += "  ";
      if (!f.human.empty()) {
        line += f.name + "=" + jsonQuote(f.human);
      } else {
        line += f.name + "=" + (f.number ? f.value : jsonQuote(f.value));
      }
    }
    out += line + "\n";
  }
  return out;
}

}  // namespace amctl

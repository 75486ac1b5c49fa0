// What amctl prints: a list of named fields, optionally a list of records of such fields, shown
// as aligned "name: value" lines or as one JSON object.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace amctl {

// One named value; `number` values are printed bare in JSON, the rest as strings.
struct Field {
  std::string name;
  std::string value;
  bool number = false;
  std::string human;  // shown instead of value in the human form when not empty
};

struct Record {
  std::vector<Field> fields;
  void text(const std::string& name, const std::string& value) { fields.push_back({name, value, false, {}}); }
  void number(const std::string& name, int64_t value) {
    fields.push_back({name, std::to_string(value), true, {}});
  }
  void real(const std::string& name, double value);
  // A local date-time kept as fractional days: the number in JSON, "dd.mm.yyyy hh:mm:ss" for
  // people (0: "-").
  void time(const std::string& name, double days);
  // Shows the numeric field `name` (fractional days), if present, as a date-time for people.
  void showAsTime(const std::string& name);
  const Field* find(const std::string& name) const;
};

struct Result {
  Record top;
  std::string listName;  // non-empty: `records` is printed under this name
  std::vector<Record> records;
  // Non-empty: the text form prints this alone (a file's content), JSON still the fields.
  std::string raw;
};

// JSON string literal for UTF-8 `text`.
std::string jsonQuote(const std::string& text);
// The whole result as one JSON object ({"ok":true, fields..., "<listName>":[{...}, ...]}).
std::string toJson(const Result& result);
// Human form: "name: value" lines; records one line each with their fields as "name=value".
std::string toText(const Result& result);

}  // namespace amctl

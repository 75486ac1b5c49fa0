// The text exposition format of the operator's metrics (version 0.0.4): per family one
// "# HELP" and one "# TYPE" line, then its samples as `name{label="value",...} number`.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "adt/text.h"

namespace web {

inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// A label value as the format wants it: backslash, double quote and line feed escaped
// (\\, \", \n); everything else as it is.
adt::String escapeLabelValue(std::string_view value);
// A help text: backslash and line feed escaped.
adt::String escapeHelp(std::string_view value);

using MetricLabel = std::pair<std::string_view, std::string_view>;  // name, raw value

// Builds one exposition text. Families are written whole, one after the other: family()
// opens one (its HELP and TYPE lines), sample() adds a line to the open one. Names are the
// caller's constants; only label values come from outside and are escaped here.
class MetricsText {
 public:
  // `type`: "counter" or "gauge".
  void family(std::string_view name, std::string_view type, std::string_view help);
  void sample(std::initializer_list<MetricLabel> labels, double value);
  void sample(double value) { sample({}, value); }
  void sample(std::initializer_list<MetricLabel> labels, uint64_t value);
  void sample(uint64_t value) { sample({}, value); }

  const adt::String& text() const { return text_; }

 private:
  void labelsAndName(std::initializer_list<MetricLabel> labels);

  adt::String text_;
  adt::String name_;  // of the open family
};

}  // namespace web

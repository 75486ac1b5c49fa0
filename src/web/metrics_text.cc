#include "web/metrics_text.h"

#include <cmath>
#include <cstdio>

namespace web {
namespace {

adt::String escape(std::string_view value, bool quote) {
  adt::String out;
  out.reserve(value.size());
  for (const char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' && quote) {
      out += "\\\"";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

adt::String escapeLabelValue(std::string_view value) { return escape(value, true); }
adt::String escapeHelp(std::string_view value) { return escape(value, false); }

void MetricsText::family(std::string_view name, std::string_view type, std::string_view help) {
  name_.assign(name.data(), name.size());
  text_ += "# HELP " + name_ + " " + escapeHelp(help) + "\n";
  text_ += "# TYPE " + name_ + " ";
  text_.append(type.data(), type.size());
  text_ += "\n";
}

void MetricsText::labelsAndName(std::initializer_list<MetricLabel> labels) {
  text_ += name_;
  if (labels.size() == 0) {
    text_ += " ";
    return;
  }
  text_ += "{";
  bool first = true;
  for (const MetricLabel& l : labels) {
    if (!first) text_ += ",";
    first = false;
    text_.append(l.first.data(), l.first.size());
    text_ += "=\"" + escapeLabelValue(l.second) + "\"";
  }
  text_ += "} ";
}

void MetricsText::sample(std::initializer_list<MetricLabel> labels, double value) {
  labelsAndName(labels);
  if (std::isnan(value)) {
    text_ += "NaN";
  } else if (std::isinf(value)) {
    text_ += value > 0 ? "+Inf" : "-Inf";
  } else {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.15g", value);
    text_ += buf;
  }
  text_ += "\n";
}

void MetricsText::sample(std::initializer_list<MetricLabel> labels, uint64_t value) {
  labelsAndName(labels);
  text_ += std::to_string(value);
  text_ += "\n";
}

}  // namespace web

// The files built into the program (the web page, its busy background, the default agent icon)
// and the rule that maps a request path to one of them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "adt/text.h"

namespace web {

// One embedded file. The bytes live as long as the program.
struct Resource {
  const char* name;  // "_", "_WAIT_GIF", "_ICONS_ORVO", ...
  const uint8_t* data;
  size_t size;

  std::string_view bytes() const { return {reinterpret_cast<const char*>(data), size}; }
};

// Every embedded file, sorted by name. Generated at build time from src/web/resources/.
std::span<const Resource> resources();

// The resource name for a request path given without its leading "/": "/" followed by the
// path, every "/" and "." replaced by "_", then upper-cased (ASCII letters only; other bytes
// stay). "" gives "_", "wait.gif" gives "_WAIT_GIF", "icons/orvo" gives "_ICONS_ORVO".
adt::String resourceName(std::string_view path);

// The resource with exactly this name, or null.
const Resource* findResource(std::string_view name);

}  // namespace web

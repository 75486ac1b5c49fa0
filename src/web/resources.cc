#include "web/resources.h"

namespace web {

adt::String resourceName(std::string_view path) {
  adt::String name = "_";
  name.reserve(path.size() + 1);
  for (char c : path) {
    if (c == '/' || c == '.') {
      c = '_';
    } else if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
    name += c;
  }
  return name;
}

const Resource* findResource(std::string_view name) {
  for (const Resource& r : resources()) {
    if (name == r.name) return &r;
  }
  return nullptr;
}

}  // namespace web

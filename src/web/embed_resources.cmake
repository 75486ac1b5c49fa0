# Turns every file of RESOURCE_DIR into one C++ source, OUTPUT, that defines web::resources().
# A file's resource name is its name up to the first "." (the rest is only there for editors):
# "_.html" is the resource "_", "_WAIT_GIF.gif" is "_WAIT_GIF". Names are matched against
# upper-cased request paths, so a name with anything but A-Z, 0-9 and "_" could never be found
# and stops the build.
#   cmake -DRESOURCE_DIR=<dir> -DOUTPUT=<file.cc> -P embed_resources.cmake
cmake_minimum_required(VERSION 3.20)

file(GLOB _files LIST_DIRECTORIES false RELATIVE ${RESOURCE_DIR} ${RESOURCE_DIR}/*)
list(SORT _files)

set(_arrays "")
set(_table "")
set(_names "")
set(_index 0)
foreach(_file IN LISTS _files)
  string(REGEX REPLACE "\\..*$" "" _name "${_file}")
  if(NOT _name MATCHES "^[A-Z0-9_]+$")
    message(FATAL_ERROR "resource file ${_file}: the name before the first \".\" must be made of A-Z, 0-9 and _")
  endif()
  if(_name IN_LIST _names)
    message(FATAL_ERROR "resource file ${_file}: a second file for the resource ${_name}")
  endif()
  list(APPEND _names ${_name})
  file(SIZE ${RESOURCE_DIR}/${_file} _size)
  file(READ ${RESOURCE_DIR}/${_file} _hex HEX)
  # Sixteen bytes per line; a trailing 0 keeps an empty file's array legal (not counted).
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " _bytes "${_bytes}")
  string(APPEND _arrays "// ${_file}\nconst uint8_t kData${_index}[] = {\n    ${_bytes}0};\n\n")
  string(APPEND _table "    {\"${_name}\", kData${_index}, ${_size}},\n")
  math(EXPR _index "${_index} + 1")
endforeach()

# Sorted by name above, since file names start with the resource names.
set(_text "// Generated from src/web/resources by embed_resources.cmake; do not edit.
#include <cstdint>
#include <span>

#include \"web/resources.h\"

namespace web {
namespace {

${_arrays}const Resource kResources[] = {
${_table}    {nullptr, nullptr, 0},
};

}  // namespace

std::span<const Resource> resources() { return {kResources, ${_index}}; }

}  // namespace web
")

file(WRITE ${OUTPUT} "${_text}")

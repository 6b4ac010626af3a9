# Turns the files of a manifest into one C++ source: the web file list with
# every file's bytes. Run as a build step:
#   cmake -DMANIFEST=<file> -DOUTPUT=<file.cpp> -P EmbedFiles.cmake
# Each manifest line is "<URL path>|<file>", in the order the list keeps.
file(STRINGS "${MANIFEST}" lines)
set(arrays "")
set(entries "")
set(index 0)
foreach(line IN LISTS lines)
  string(FIND "${line}" "|" bar)
  string(SUBSTRING "${line}" 0 ${bar} url)
  math(EXPR start "${bar} + 1")
  string(SUBSTRING "${line}" ${start} -1 source)
  # The resource name: "web" and the path with "/" as "___", "." as "__", "-" as "_".
  string(REPLACE "/" "___" name "web${url}")
  string(REPLACE "." "__" name "${name}")
  string(REPLACE "-" "_" name "${name}")
  file(READ "${source}" hex HEX)
  string(LENGTH "${hex}" length)
  math(EXPR size "${length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "alignas(16) const unsigned char Data${index}[${size} + 1] = {${bytes}0};\n")
  string(APPEND entries "    {\"${url}\", \"${name}\", Data${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Generated from the web client's files at build time; do not edit.
#include \"WebFiles.h\"

namespace {
${arrays}} // namespace

const TWebFile WebFileTable[] = {
${entries}};
const std::size_t WebFileCount = ${index};
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")

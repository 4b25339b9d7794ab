# cmake -P script: writes HEADER and SOURCE with one constant byte array per file.
# PAIRS is "symbol=path|symbol=path|...".
string(REPLACE "|" ";" pairs "${PAIRS}")
get_filename_component(headerName "${HEADER}" NAME)
set(h "// Generated at build time; do not edit.\n#pragma once\n#include <cstddef>\n\nnamespace ${NAMESPACE} {\n")
set(c "// Generated at build time; do not edit.\n#include \"${headerName}\"\n\nnamespace ${NAMESPACE} {\n")
foreach(pair IN LISTS pairs)
  string(REPLACE "=" ";" kv "${pair}")
  list(GET kv 0 sym)
  list(GET kv 1 path)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" hexLen)
  math(EXPR size "${hexLen} / 2")
  # 32 bytes per line keeps the generated file readable (CMake's regex has no {n} counts).
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REPEAT "0x..," 32 line)
  string(REGEX REPLACE "(${line})" "\\1\n" bytes "${bytes}")
  math(EXPR bound "${size} + 1")
  # The size is a compile-time constant, so tables built from these arrays need no dynamic
  # initialisation.
  string(APPEND h "extern const unsigned char ${sym}[${bound}];\nconstexpr std::size_t ${sym}Size = ${size};\n")
  string(APPEND c "alignas(16) const unsigned char ${sym}[${bound}] = {\n${bytes}0x00\n};\n\n")
endforeach()
string(APPEND h "} // namespace ${NAMESPACE}\n")
string(APPEND c "} // namespace ${NAMESPACE}\n")
file(WRITE "${HEADER}.tmp" "${h}")
file(WRITE "${SOURCE}.tmp" "${c}")
file(RENAME "${HEADER}.tmp" "${HEADER}")
file(RENAME "${SOURCE}.tmp" "${SOURCE}")

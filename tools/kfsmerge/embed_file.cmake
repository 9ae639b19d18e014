# cmake -DINPUT=FILE -DOUTPUT=FILE.cpp -DSYMBOL=name -P embed_file.cmake
# Writes FILE's bytes as a C++ array `kfsmerge::SYMBOL` with `SYMBOL_size`, so that the tool needs
# no data file at run time.
file(READ "${INPUT}" content HEX)
string(LENGTH "${content}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${content}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include <cstddef>\n"
  "namespace kfsmerge {\n"
  "extern const unsigned char ${SYMBOL}[];\n"
  "extern const std::size_t ${SYMBOL}_size;\n"
  "const unsigned char ${SYMBOL}[] = {\n    ${bytes}0};\n"
  "const std::size_t ${SYMBOL}_size = ${size};\n"
  "}  // namespace kfsmerge\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")

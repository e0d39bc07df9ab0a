# Writes the page's files into a C++ source as byte arrays (see page_files.h).
#   cmake -DSOURCE_DIR=dir -DOUTPUT=file.cpp -DENTRIES="file|path|type^..." -P embed_page.cmake
string(REPLACE "^" ";" entries "${ENTRIES}")
set(arrays "")
set(table "")
set(n 0)
foreach(entry IN LISTS entries)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 file)
  list(GET fields 1 path)
  list(GET fields 2 type)
  file(READ "${SOURCE_DIR}/${file}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND arrays "const char kFile${n}[] = {${bytes} '\\0'};\n")
  string(APPEND table "    {\"${path}\", \"${type}; charset=utf-8\", std::string_view(kFile${n}, ${size})},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp"
  "// Written by web/embed_page.cmake from the page's files; not edited by hand.\n"
  "#include \"web/page_files.h\"\n\n"
  "namespace korvad::web {\n\nnamespace {\n${arrays}}  // namespace\n\n"
  "const PageFile kPageFiles[] = {\n${table}};\n"
  "const std::size_t kPageFileCount = ${n};\n\n}  // namespace korvad::web\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")

# Writes OUT, a C++ file holding every file of DIR as a byte array, for the
# console's files to be inside the binary:
#   cmake -DDIR=<folder> -DOUT=<file.cpp> -P web_embed.cmake
file(GLOB files LIST_DIRECTORIES false RELATIVE ${DIR} ${DIR}/*)
list(SORT files)
set(text "// Generated from gateway/web/ by web_embed.cmake: do not edit.\n#include \"web_server.h\"\n\nnamespace gateway {\n\nnamespace {\n")
set(table "")
set(i 0)
foreach(name IN LISTS files)
  file(READ ${DIR}/${name} hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){32})" "\\1\n" bytes "${bytes}")
  # One byte more, so that an empty file is an array too.
  string(APPEND text "const unsigned char file${i}[] = {\n${bytes}0};\n")
  string(APPEND table "    {\"${name}\", file${i}, ${size}},\n")
  math(EXPR i "${i} + 1")
endforeach()
string(APPEND text "\n} // namespace\n\nconst WebFile web_files[] = {\n${table}    {nullptr, nullptr, 0},\n};\nconst std::size_t web_file_count = ${i};\n\n} // namespace gateway\n")
# Written only when it differs, so that nothing else is rebuilt for nothing.
set(old "")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT old STREQUAL text)
  file(WRITE ${OUT} "${text}")
endif()

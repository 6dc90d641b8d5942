# cmake -DIN=<file> -DOUT=<file.cpp> -DNAME=<symbol> -P EmbedFile.cmake
# Writes the bytes of IN as pmv::<NAME>[] and pmv::<NAME>Size.
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR bytes "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" body "${body}")
get_filename_component(name "${IN}" NAME)
file(WRITE "${OUT}.tmp"
  "// Generated from ${name} by EmbedFile.cmake.\n"
  "#include <cstddef>\n\n"
  "namespace pmv {\n\n"
  "extern const unsigned char ${NAME}[] = {\n${body}\n};\n"
  "extern const std::size_t ${NAME}Size = ${bytes};\n\n"
  "} // namespace pmv\n")
file(RENAME "${OUT}.tmp" "${OUT}")

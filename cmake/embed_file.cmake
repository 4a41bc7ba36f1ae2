# Run as a script at build time: writes a C++ source file whose function returns INPUT's bytes,
# exactly, so the executable carries the file and needs nothing beside it.
#
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DHEADER=folder/name.h -DFUNCTION=Name -P embed_file.cmake
#
# The bytes are written as numbers rather than a string literal: the file may hold any text,
# including the end of a raw string, and compilers limit the length of one literal.
foreach(required INPUT OUTPUT HEADER FUNCTION)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "embed_file.cmake needs -D${required}=...")
  endif()
endforeach()
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
# Sixteen bytes a line.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
get_filename_component(name "${INPUT}" NAME)
file(WRITE "${OUTPUT}"
  "// Generated at build time from ${name}; edit that file, not this one.\n"
  "#include \"${HEADER}\"\n\n"
  "namespace {\nconstexpr unsigned char Bytes[${size} + 1] = {\n${bytes}0};\n}  // namespace\n\n"
  "std::string_view ${FUNCTION}() {\n"
  "  return {reinterpret_cast<const char*>(Bytes), ${size}};\n}\n")

# Writes a C++ file with one byte array per input file and a table naming them, so the web console's
# page is part of the program. CMake alone, no xxd, so every build host can run it.
#   cmake -DOUTPUT=assets.cpp "-DINPUTS=a.html;b.css" -P embed_assets.cmake
set(body "// Generated from the web console's page files by embed_assets.cmake; do not edit.\n")
string(APPEND body "#include \"web/web_page.h\"\n\nnamespace {\n")
set(table "")
set(index 0)
foreach(input IN LISTS INPUTS)
    get_filename_component(name "${input}" NAME)
    file(READ "${input}" hex HEX)
    string(LENGTH "${hex}" digits)
    math(EXPR size "${digits} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    # Sixteen bytes a line.
    string(REPEAT "0x..," 16 line)
    string(REGEX REPLACE "(${line})" "\\1\n" bytes "${bytes}")
    string(APPEND body "const unsigned char asset_${index}[] = {\n${bytes}0};\n")
    string(APPEND table "    {\"${name}\", asset_${index}, ${size}},\n")
    math(EXPR index "${index} + 1")
endforeach()
string(APPEND body "} // namespace\n\nconst web_asset_type web_assets[] = {\n${table}};\n")
string(APPEND body "const size_t web_asset_count = ${index};\n")
# Rewritten only when the content changes, so an unchanged page recompiles nothing.
if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL body)
    file(WRITE "${OUTPUT}" "${body}")
endif()

# Turns the STRINGTABLE of a resource script into C++ source that registers
# the same strings with the Linux Windows layer, so that LoadStringW finds
# them as it would find the program's resources on Windows.
#
# Accepted lines inside the table:   <id>, "<text>"   (the comma is optional).
function(tavrik_generate_string_table rc_file output_file)
  file(STRINGS ${rc_file} lines)
  set(entries "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*([0-9]+)[ \t]*,?[ \t]*\"(.*)\"[ \t]*$")
      string(APPEND entries "    {${CMAKE_MATCH_1}u, L\"${CMAKE_MATCH_2}\"},\n")
    endif()
  endforeach()
  set(content "// Generated from ${rc_file} (edit that file instead).\n")
  string(APPEND content "#include \"winapi/base/string_resources.h\"\n\n")
  string(APPEND content "namespace {\n")
  string(APPEND content "const winapi::StringResourceTable kProgramStrings({\n")
  string(APPEND content "${entries}")
  string(APPEND content "});\n")
  string(APPEND content "}  // namespace\n")
  file(CONFIGURE OUTPUT ${output_file} CONTENT "${content}" @ONLY)
  set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${rc_file})
endfunction()

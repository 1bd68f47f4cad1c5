# Generation of the flat C API (the driver identifier's header and functions) from the catalogue.
#
# korvane_generate_ansic(<target>) adds a custom target that writes, below ${KORVANE_GEN_DIR}:
#   <identifier>.h                 the public header (kvscope.h)
#   korvane/AnsiCApi.h             the header's name and session type for the hand-written part
#   ansic/AnsiCFunctions<n>.cpp    the object model's functions, over KORVANE_ANSIC_UNITS units
#   ansic/AnsiCRequired.cpp        the exported names of the required functions
#   ansic/ApiStatus.inc, ansic/exports.txt, ansic/coverage.txt
# and sets KORVANE_ANSIC_SOURCES, KORVANE_ANSIC_HEADER and KORVANE_ANSIC_IDENTIFIER (parent scope).

set(KORVANE_ANSIC_UNITS 2)

function(korvane_generate_ansic target)
  file(GLOB catalog_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/catalog/*.toml)
  set(gen ${CMAKE_SOURCE_DIR}/tools/codegen)
  # The header's name follows the identifier in the catalogue.
  file(READ ${CMAKE_SOURCE_DIR}/catalog/library.toml library_toml)
  string(REGEX MATCH "ansi_c_identifier = \"([A-Za-z0-9]+)\"" _ "${library_toml}")
  set(ident "${CMAKE_MATCH_1}")
  string(TOLOWER "${ident}" header_stem)
  set(sources ${KORVANE_GEN_DIR}/ansic/AnsiCRequired.cpp)
  math(EXPR last_unit "${KORVANE_ANSIC_UNITS} - 1")
  foreach(k RANGE 0 ${last_unit})
    list(APPEND sources ${KORVANE_GEN_DIR}/ansic/AnsiCFunctions${k}.cpp)
  endforeach()
  set(header ${KORVANE_GEN_DIR}/${header_stem}.h)
  set(out ${header} ${KORVANE_GEN_DIR}/korvane/AnsiCApi.h ${KORVANE_GEN_DIR}/ansic/ApiStatus.inc
      ${KORVANE_GEN_DIR}/ansic/exports.txt ${KORVANE_GEN_DIR}/ansic/coverage.txt ${sources})
  add_custom_command(
    OUTPUT ${out}
    COMMAND Python3::Interpreter ${gen}/gen_ansic.py ${CMAKE_SOURCE_DIR}/catalog ${KORVANE_GEN_DIR}
            --units ${KORVANE_ANSIC_UNITS}
    DEPENDS ${catalog_files} ${gen}/gen_ansic.py ${gen}/ivic_tables.py ${KORVANE_CATALOG_LOADER}
    COMMENT "Generating the flat C API and ${header_stem}.h from the catalogue"
    VERBATIM)
  add_custom_target(${target} DEPENDS ${out})
  if(TARGET korvane_gen_headers)
    add_dependencies(korvane_gen_headers ${target})
  endif()
  set_source_files_properties(${out} PROPERTIES GENERATED TRUE)
  set(KORVANE_ANSIC_SOURCES ${sources} PARENT_SCOPE)
  set(KORVANE_ANSIC_HEADER ${header} PARENT_SCOPE)
  set(KORVANE_ANSIC_IDENTIFIER ${ident} PARENT_SCOPE)
endfunction()

# Enumeration command maps: catalog/enum-tokens.toml, checked against the catalogue ->
# ${KORVANE_GEN_DIR}/korvane/EnumMaps.inc (data tables for src/core/EnumCommand.cpp).
#
# korvane_generate_enum_maps(<target>) adds the custom target; every target that sees the
# generated include directory (korvane_gen_headers) waits for it. Include after KORVANE_GEN_DIR
# is set and korvane_gen_headers is defined.

function(korvane_generate_enum_maps target)
  file(GLOB catalog_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/catalog/*.toml)
  set(out ${KORVANE_GEN_DIR}/korvane/EnumMaps.inc)
  add_custom_command(
    OUTPUT ${out}
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/codegen/gen_enum_maps.py
            ${CMAKE_SOURCE_DIR}/catalog ${CMAKE_SOURCE_DIR}/catalog/enum-tokens.toml ${out}
    DEPENDS ${catalog_files}
            ${CMAKE_SOURCE_DIR}/tools/codegen/gen_enum_maps.py
            ${KORVANE_CATALOG_LOADER}
    COMMENT "Generating the enumeration command maps"
    VERBATIM)
  add_custom_target(${target} DEPENDS ${out})
  if(TARGET korvane_gen_headers)
    add_dependencies(korvane_gen_headers ${target})
  endif()
endfunction()

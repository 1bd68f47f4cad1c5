# Generation from the object-model catalogue (catalog/*.toml).
#
# korvane_generate_catalog(<target>) adds a custom target that writes
# ${KORVANE_GEN_DIR}/korvane/KorvaneCom.h (and the coverage summary next to it), re-run whenever
# a catalogue file or a generator source changes. Include after KORVANE_GEN_DIR is set and
# korvane_gen_headers is defined.

function(korvane_generate_catalog target)
  file(GLOB catalog_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/catalog/*.toml)
  file(GLOB generator_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/codegen/*.py)
  set(out ${KORVANE_GEN_DIR}/korvane/KorvaneCom.h ${KORVANE_GEN_DIR}/korvane/catalog-coverage.txt)
  add_custom_command(
    OUTPUT ${out}
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/codegen/gen_com.py
            ${CMAKE_SOURCE_DIR}/catalog ${KORVANE_GEN_DIR}
    DEPENDS ${catalog_files} ${generator_files}
    COMMENT "Generating the COM object model from the catalogue"
    VERBATIM)
  add_custom_target(${target} DEPENDS ${out})
  # Everything that sees the generated include directory waits for the header.
  if(TARGET korvane_gen_headers)
    add_dependencies(korvane_gen_headers ${target})
  endif()
endfunction()

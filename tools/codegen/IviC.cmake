# Generation of the IVI-C layer from catalog/attributes.toml and catalog/functions.toml.
#
# korvane_generate_ivic(<target>) adds a custom target that writes, below ${KORVANE_GEN_DIR}:
#   Korvane.h                      the public header (template tools/codegen/Korvane.h.in)
#   com/Korvane.def                the DLL's exports
#   ivic/IviCFunctions<n>.cpp      the operation functions, over KORVANE_IVIC_UNITS units
#   ivic/IviCAttributes<n>.cpp     the attribute rows, over as many units
#   ivic/IviCAttributeParts.cpp    the list of attribute blocks
#   ivic/exports.txt, ivic/ExportsCheck.c   the export list and its check program
# and sets KORVANE_IVIC_SOURCES (parent scope) to the generated C++ sources.

set(KORVANE_IVIC_UNITS 2)

function(korvane_generate_ivic target)
  file(GLOB catalog_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/catalog/*.toml)
  set(gen ${CMAKE_SOURCE_DIR}/tools/codegen)
  set(sources ${KORVANE_GEN_DIR}/ivic/IviCAttributeParts.cpp)
  math(EXPR last_unit "${KORVANE_IVIC_UNITS} - 1")
  foreach(k RANGE 0 ${last_unit})
    list(APPEND sources ${KORVANE_GEN_DIR}/ivic/IviCFunctions${k}.cpp ${KORVANE_GEN_DIR}/ivic/IviCAttributes${k}.cpp)
  endforeach()
  set(out ${KORVANE_GEN_DIR}/Korvane.h ${KORVANE_GEN_DIR}/com/Korvane.def ${KORVANE_GEN_DIR}/ivic/exports.txt
      ${KORVANE_GEN_DIR}/ivic/ExportsCheck.c ${sources})
  add_custom_command(
    OUTPUT ${out}
    COMMAND Python3::Interpreter ${gen}/gen_ivic.py ${CMAKE_SOURCE_DIR}/catalog ${KORVANE_GEN_DIR}
            --units ${KORVANE_IVIC_UNITS}
    DEPENDS ${catalog_files} ${gen}/gen_ivic.py ${gen}/gen_ansic.py ${gen}/ivic_tables.py ${KORVANE_CATALOG_LOADER} ${gen}/Korvane.h.in
    COMMENT "Generating the IVI-C functions, attribute map and Korvane.h from the catalogue"
    VERBATIM)
  add_custom_target(${target} DEPENDS ${out})
  if(TARGET korvane_gen_headers)
    add_dependencies(korvane_gen_headers ${target})
  endif()
  set_source_files_properties(${out} PROPERTIES GENERATED TRUE)
  set(KORVANE_IVIC_SOURCES ${sources} PARENT_SCOPE)
endfunction()

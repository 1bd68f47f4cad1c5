# Generation from the object-model catalogue (catalog/*.toml).
#
# korvane_generate_catalog(<target>) adds a custom target that writes, below ${KORVANE_GEN_DIR}:
#   korvane/KorvaneCom.h          interfaces, identifiers and enumerations
#   korvane/KorvaneMembers.h      one constant record per member, read by the call frame
#   korvane/KorvaneObjects.h      the implementation classes of each coclass, the hooks
#   korvane/KorvaneRefusals.h     the values putters refuse per family or model (refuse_values)
#   com/KorvaneThunks<n>.cpp      the entry points, over KORVANE_THUNK_UNITS translation units
# and, in the Windows build, the type library com/Korvane.idl -> com/Korvane.tlb (TypeLib.cmake,
# target <target>_typelib).
# It re-runs whenever a catalogue file or a generator source changes (it reads no C++: a hook the
# catalogue declares and nobody defines fails the link); unchanged outputs keep their time stamps.
# First the catalogue is checked against its lock, catalog/contract.lock (contract_lock.py): a
# change to anything published fails here, naming it and the command that accepts it. Include
# after KORVANE_GEN_DIR is set and korvane_gen_headers is defined.

set(KORVANE_THUNK_UNITS 4)

if(KORVANE_WINDOWS)
  include(${CMAKE_CURRENT_LIST_DIR}/TypeLib.cmake)
endif()

function(korvane_generate_catalog target)
  file(GLOB catalog_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/catalog/*.toml)
  file(GLOB generator_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/codegen/*.py)
  set(out
    ${KORVANE_GEN_DIR}/korvane/KorvaneCom.h
    ${KORVANE_GEN_DIR}/korvane/KorvaneMembers.h
    ${KORVANE_GEN_DIR}/korvane/KorvaneObjects.h
    ${KORVANE_GEN_DIR}/korvane/KorvaneRefusals.h)
  math(EXPR last_unit "${KORVANE_THUNK_UNITS} - 1")
  foreach(k RANGE 0 ${last_unit})
    list(APPEND out ${KORVANE_GEN_DIR}/com/KorvaneThunks${k}.cpp)
  endforeach()
  # The stamp is written only when the check passes, so a refused change is checked again.
  set(lock ${CMAKE_SOURCE_DIR}/catalog/contract.lock)
  set(stamp ${KORVANE_GEN_DIR}/contract.stamp)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/codegen/contract_lock.py
            --catalog ${CMAKE_SOURCE_DIR}/catalog
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${catalog_files} ${lock} ${generator_files} ${CMAKE_SOURCE_DIR}/tools/codegen/Korvane.h.in
    COMMENT "Checking the catalogue against its lock (catalog/contract.lock)"
    VERBATIM)
  add_custom_command(
    OUTPUT ${out}
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/codegen/gen_com.py
            ${CMAKE_SOURCE_DIR}/catalog ${KORVANE_GEN_DIR}
            --thunk-units ${KORVANE_THUNK_UNITS}
    DEPENDS ${catalog_files} ${generator_files} ${stamp}
    COMMENT "Generating the COM object model from the catalogue"
    VERBATIM)
  add_custom_target(${target} DEPENDS ${out})
  # Everything that sees the generated include directory waits for the header.
  if(TARGET korvane_gen_headers)
    add_dependencies(korvane_gen_headers ${target})
  endif()
  if(KORVANE_WINDOWS)
    korvane_generate_typelib(${target}_typelib)
  endif()
endfunction()

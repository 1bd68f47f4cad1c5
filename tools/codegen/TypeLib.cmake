# The type library, Windows build only: Korvane.idl generated from the catalogue below
# ${KORVANE_GEN_DIR}/com and compiled by widl into Korvane.tlb beside it.
#
# korvane_generate_typelib(<target>) adds the target (built by default); KORVANE_TYPELIB_FILE
# names the library for the tests. stdole2.tlb and the system IDL files come from Wine's
# development files.

set(KORVANE_TYPELIB_IDL ${KORVANE_GEN_DIR}/com/Korvane.idl)
set(KORVANE_TYPELIB_FILE ${KORVANE_GEN_DIR}/com/Korvane.tlb)
set(KORVANE_WIDL_INCLUDE_DIR /usr/include/wine/wine/windows CACHE PATH
    "Directory of the system IDL files (oaidl.idl) for widl")
set(KORVANE_WIDL_LIBRARY_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH
    "Directory of stdole2.tlb for widl")

function(korvane_generate_typelib target)
  find_program(KORVANE_WIDL NAMES x86_64-w64-mingw32-widl widl REQUIRED)
  file(GLOB catalog_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/catalog/*.toml)
  set(generators ${CMAKE_SOURCE_DIR}/tools/codegen/gen_idl.py
                 ${CMAKE_SOURCE_DIR}/tools/codegen/korvane_catalog.py)
  add_custom_command(
    OUTPUT ${KORVANE_TYPELIB_IDL}
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/codegen/gen_idl.py
            ${CMAKE_SOURCE_DIR}/catalog ${KORVANE_TYPELIB_IDL}
    DEPENDS ${catalog_files} ${generators}
    COMMENT "Generating Korvane.idl from the catalogue"
    VERBATIM)
  add_custom_command(
    OUTPUT ${KORVANE_TYPELIB_FILE}
    COMMAND ${KORVANE_WIDL} --win64 -I${KORVANE_WIDL_INCLUDE_DIR} -L${KORVANE_WIDL_LIBRARY_DIR}
            -t -o ${KORVANE_TYPELIB_FILE} ${KORVANE_TYPELIB_IDL}
    DEPENDS ${KORVANE_TYPELIB_IDL}
    WORKING_DIRECTORY ${KORVANE_GEN_DIR}/com
    COMMENT "Compiling the type library Korvane.tlb"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${KORVANE_TYPELIB_FILE})
endfunction()

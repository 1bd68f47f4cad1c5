# The type libraries, Windows build only: Korvane.idl, IviDriver.idl and IviScope.idl generated
# from the catalogue below ${KORVANE_GEN_DIR}/com and compiled by widl into .tlb files beside
# them. Korvane.tlb imports the two IVI libraries; tlb_imports.py makes its coclasses refer to
# the imported IVI interfaces instead of the copies widl puts there.
#
# korvane_generate_typelib(<target>) adds the target (built by default); KORVANE_TYPELIB_FILE
# names the driver's library and KORVANE_IVI_TYPELIB_FILES the two IVI ones, for the resources
# and the tests. stdole2.tlb and the system IDL files come from Wine's development files.

set(KORVANE_TYPELIB_IDL ${KORVANE_GEN_DIR}/com/Korvane.idl)
set(KORVANE_TYPELIB_FILE ${KORVANE_GEN_DIR}/com/Korvane.tlb)
set(KORVANE_IVI_TYPELIB_FILES ${KORVANE_GEN_DIR}/com/IviDriver.tlb ${KORVANE_GEN_DIR}/com/IviScope.tlb)
set(KORVANE_WIDL_INCLUDE_DIR /usr/include/wine/wine/windows CACHE PATH
    "Directory of the system IDL files (oaidl.idl) for widl")
set(KORVANE_WIDL_LIBRARY_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH
    "Directory of stdole2.tlb for widl")

function(korvane_generate_typelib target)
  find_program(KORVANE_WIDL NAMES x86_64-w64-mingw32-widl i686-w64-mingw32-widl widl REQUIRED)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(syskind --win32)
  else()
    set(syskind --win64)
  endif()
  set(dir ${KORVANE_GEN_DIR}/com)
  file(GLOB catalog_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/catalog/*.toml)
  set(generators ${CMAKE_SOURCE_DIR}/tools/codegen/gen_idl.py
                 ${KORVANE_CATALOG_LOADER})
  set(idl_files ${dir}/Korvane.idl ${dir}/IviDriver.idl ${dir}/IviDriverTypes.idl
                ${dir}/IviScope.idl ${dir}/IviScopeTypes.idl)
  add_custom_command(
    OUTPUT ${idl_files}
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/codegen/gen_idl.py ${CMAKE_SOURCE_DIR}/catalog ${dir}
    DEPENDS ${catalog_files} ${generators}
    COMMENT "Generating the IDL of the type libraries from the catalogue"
    VERBATIM)
  set(widl ${KORVANE_WIDL} ${syskind} -I${dir} -I${KORVANE_WIDL_INCLUDE_DIR} -L${dir} -L${KORVANE_WIDL_LIBRARY_DIR} -t)
  add_custom_command(
    OUTPUT ${dir}/IviDriver.tlb
    COMMAND ${widl} -o ${dir}/IviDriver.tlb ${dir}/IviDriver.idl
    DEPENDS ${idl_files}
    WORKING_DIRECTORY ${dir}
    COMMENT "Compiling the type library IviDriver.tlb"
    VERBATIM)
  add_custom_command(
    OUTPUT ${dir}/IviScope.tlb
    COMMAND ${widl} -o ${dir}/IviScope.tlb ${dir}/IviScope.idl
    DEPENDS ${idl_files} ${dir}/IviDriver.tlb
    WORKING_DIRECTORY ${dir}
    COMMENT "Compiling the type library IviScope.tlb"
    VERBATIM)
  add_custom_command(
    OUTPUT ${KORVANE_TYPELIB_FILE}
    COMMAND ${widl} -o ${dir}/Korvane-widl.tlb ${KORVANE_TYPELIB_IDL}
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/codegen/tlb_imports.py
            ${dir}/Korvane-widl.tlb ${KORVANE_TYPELIB_FILE} ${KORVANE_TYPELIB_IDL} ${KORVANE_IVI_TYPELIB_FILES}
    DEPENDS ${idl_files} ${KORVANE_IVI_TYPELIB_FILES} ${CMAKE_SOURCE_DIR}/tools/codegen/tlb_imports.py
    WORKING_DIRECTORY ${dir}
    COMMENT "Compiling the type library Korvane.tlb"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${KORVANE_TYPELIB_FILE} ${KORVANE_IVI_TYPELIB_FILES})
endfunction()

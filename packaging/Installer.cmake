# The Windows installer (64-bit build): `cmake --build --preset windows --target korvane_installer`
# stages the install rules' files, makes the MSVC import library from the exports file, lists
# the headers and runs makensis (packaging/windows/korvane.nsi). The installer's store editor is
# built in every build, so the Linux tests exercise the same code the installer runs.
#
# The 32-bit DLL goes into the same installer when the 32-bit build has staged it first
# (`cmake --build --preset windows-x86 --target korvane_x86_stage`, which ./korvane.sh package
# does): KORVANE_X86_STAGE names that folder, and makensis takes the 32-bit files only where it
# finds them, so an installer built without the 32-bit tree is the 64-bit one alone.
add_executable(korvane-store-entries ${CMAKE_CURRENT_LIST_DIR}/windows/store_entries.cpp)

if(KORVANE_WINDOWS AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The DLL and its stdcall import library (remade after the link, see src/CMakeLists.txt),
  # named as MSVC users link it.
  set(x86_stage ${CMAKE_BINARY_DIR}/installer/x86)
  add_custom_target(korvane_x86_stage
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${x86_stage}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${x86_stage}/bin ${x86_stage}/lib
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:korvane> ${x86_stage}/bin/Korvane.dll
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_LINKER_FILE:korvane> ${x86_stage}/lib/Korvane.lib
    COMMENT "Staging the 32-bit DLL for the installer in ${x86_stage}"
    VERBATIM)
  add_dependencies(korvane_x86_stage korvane)
endif()

if(KORVANE_WINDOWS AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  find_program(KORVANE_MAKENSIS makensis)
  set(stage ${CMAKE_BINARY_DIR}/installer/stage)
  set(KORVANE_SETUP ${CMAKE_BINARY_DIR}/packages/korvane-${PROJECT_VERSION}-win64-setup.exe)
  # The windows preset points this at the windows-x86 preset's tree.
  set(KORVANE_X86_STAGE "" CACHE PATH "The 32-bit build's staged DLL (korvane_x86_stage), taken where present")
  set(missing)
  if(NOT KORVANE_MAKENSIS)
    set(KORVANE_MAKENSIS makensis)
    set(missing COMMAND ${CMAKE_COMMAND} -E echo "makensis is missing: scripts/bootstrap --windows installs nsis"
                COMMAND ${CMAKE_COMMAND} -E false)
  endif()
  add_custom_target(korvane_installer ${missing}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
    COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${stage}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:korvane-store-entries> ${stage}/bin/
    COMMAND ${CMAKE_DLLTOOL} -d ${KORVANE_GEN_DIR}/com/Korvane.def -D Korvane.dll -l ${stage}/lib/Korvane.lib
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/windows/gen_files_nsh.py ${stage} ${stage}/files.nsh
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packages
    COMMAND ${KORVANE_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DSTAGE=${stage} -DSOURCE=${CMAKE_SOURCE_DIR}
            -DX86STAGE=${KORVANE_X86_STAGE} -DOUTFILE=${KORVANE_SETUP} ${CMAKE_CURRENT_LIST_DIR}/windows/korvane.nsi
    COMMENT "Building the Windows installer ${KORVANE_SETUP}"
    VERBATIM)
  add_dependencies(korvane_installer korvane korvane_cli korvane-store-entries)
endif()

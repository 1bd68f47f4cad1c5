# Runs inside CPack on the staged components, before they are packed: the install rules serve
# relocatable prefixes, a Debian package wants a few things otherwise.
# - Programs lose their relative run path: /usr/bin finds /usr/lib by the loader's own search,
#   and Debian refuses custom search paths.
# - Shared libraries are not executable.
# - Manual pages are compressed, reproducibly (no name or time in the gzip header).
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(f IN LISTS staged)
  if(IS_SYMLINK "${f}")
    continue()
  endif()
  if(f MATCHES "/usr/bin/[^/]+$")
    file(RPATH_REMOVE FILE "${f}")
  elseif(f MATCHES "/usr/lib/[^/]*\\.so\\.[0-9.]+$")
    file(CHMOD "${f}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  elseif(f MATCHES "/usr/share/man/man[1-9]/[^/]+\\.[1-9]$")
    execute_process(COMMAND gzip -9nf "${f}" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "gzip ${f} failed")
    endif()
  endif()
endforeach()

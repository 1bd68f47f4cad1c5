#!/bin/sh
# Remakes a 32-bit DLL's import library so that stdcall callers link against it.
# Usage: stdcall-implib.sh <nm> <dlltool> <dll> <import library> <symbol prefix> [cdecl prefix]
# The DLL exports its stdcall functions undecorated, as Windows clients look them up by name,
# but a C caller's objects ask for the decorated name (_imp__Korvane_init@16). The decorated
# names are read from the DLL's own symbols; dlltool -k keeps them as the library's symbols and
# imports each by the undecorated name. Functions of the cdecl prefix (the flat C API) keep
# their plain names.
set -eu
nm=$1 dlltool=$2 dll=$3 implib=$4 prefix=$5 cdecl=${6:-}
def="$implib.def"
{
  echo "LIBRARY $(basename "$dll")"
  echo "EXPORTS"
  "$nm" -g --defined-only "$dll" | sed -n "s/^[0-9a-f]* T _\($prefix[A-Za-z0-9_]*@[0-9]*\)\$/  \1/p" | sort -u
  if [ -n "$cdecl" ]; then
    "$nm" -g --defined-only "$dll" | sed -n "s/^[0-9a-f]* T _\($cdecl[A-Za-z0-9_]*\)\$/  \1/p" | sort -u
  fi
} >"$def"
count=$(grep -c '@' "$def" || true)
if [ "$count" -eq 0 ]; then
  echo "stdcall-implib.sh: no decorated $prefix symbols in $dll" >&2
  exit 1
fi
"$dlltool" -k -d "$def" -l "$implib" -D "$(basename "$dll")"

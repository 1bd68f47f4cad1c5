#!/usr/bin/env bash
# check-exports.sh <library> <exports.txt> [<program> [runner...]]
# The library exports exactly the listed functions of one flat C API (the names that start with
# the list's prefix and an underscore, Korvane_ or the IVI-ANSI-C identifier's). With a program,
# which takes every listed function's address through the API's header and prints their names,
# also that it links and names them all: the header and the import library miss none.
set -eu
lib=$1 list=$2
shift 2
want=$(sort "$list")
prefix=$(head -1 "$list" | sed 's/_.*//')
case "$lib" in
  *.dll) have=$(x86_64-w64-mingw32-objdump -p "$lib" | sed -n "s/^\s*\[ *[0-9]*\] \(${prefix}_[A-Za-z0-9_]*\)$/\1/p" | sort) ;;
  *) have=$(nm -D --defined-only "$lib" | awk -v p="^${prefix}_" '$3 ~ p {print $3}' | sort) ;;
esac
if [ "$have" != "$want" ]; then
  echo "exports differ from the list (< exported, > listed):"
  diff <(echo "$have") <(echo "$want") || true
  exit 1
fi
if (($#)); then
  prog=$1
  shift
  linked=$("$@" "$prog" | tr -d '\r' | sort)
  if [ "$linked" != "$want" ]; then
    echo "the header or the import library misses functions (< linked, > listed):"
    diff <(echo "$linked") <(echo "$want") || true
    exit 1
  fi
fi
echo "$(echo "$want" | wc -l) exports checked"

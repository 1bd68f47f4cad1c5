#!/usr/bin/env bash
# check-exports.sh <library> <exports.txt> <ExportsCheck program> [runner]
# The library exports exactly the listed Korvane_ functions, and the program, which takes every
# listed function's address through Korvane.h, links and names them all.
set -eu
lib=$1 list=$2 prog=$3
shift 3
want=$(sort "$list")
case "$lib" in
  *.dll) have=$(x86_64-w64-mingw32-objdump -p "$lib" | sed -n 's/^\s*\[ *[0-9]*\] \(Korvane_[A-Za-z0-9_]*\)$/\1/p' | sort) ;;
  *) have=$(nm -D --defined-only "$lib" | awk '$3 ~ /^Korvane_/ {print $3}' | sort) ;;
esac
if [ "$have" != "$want" ]; then
  echo "exports differ from the list (< exported, > listed):"
  diff <(echo "$have") <(echo "$want") || true
  exit 1
fi
linked=$("$@" "$prog" | tr -d '\r' | sort)
if [ "$linked" != "$want" ]; then
  echo "the header or the import library misses functions (< linked, > listed):"
  diff <(echo "$linked") <(echo "$want") || true
  exit 1
fi
echo "$(echo "$want" | wc -l) exports checked"

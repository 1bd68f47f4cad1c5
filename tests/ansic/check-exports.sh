#!/usr/bin/env bash
# check-exports.sh <library> <exports.txt>: the library exports exactly the listed functions of the
# flat C API (the names that start with the driver identifier and an underscore).
set -eu
lib=$1 list=$2
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
echo "$(echo "$want" | wc -l) exports checked"

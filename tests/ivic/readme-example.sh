#!/usr/bin/env bash
# readme-example.sh <build dir> <README.md> <simulator>
# Installs the build into a fresh prefix, compiles the README's C example against it with
# pkg-config as a user would, and runs it against the simulator and against a resource that
# fails, where it must print the driver's description.
set -eu
build=$1 readme=$2 sim=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
awk '/^## Using the driver from C/ {f = 1} f && /^```c$/ {c = 1; next} c && /^```$/ {exit} c' "$readme" >"$work/app.c"
[ -s "$work/app.c" ] || { echo "no C example in $readme"; exit 1; }
pc=$(dirname "$(find "$work/prefix" -name korvane.pc | head -1)")
libdir=$(PKG_CONFIG_PATH=$pc pkg-config --variable=libdir korvane)
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -o "$work/app" "$work/app.c" $(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs korvane)
export LD_LIBRARY_PATH=$libdir
"$here/with-sim.sh" "$sim" MSO-CD1000 "$work/app" @RESOURCE@ | tee "$work/out"
grep -q "points from" "$work/out"
# A resource string of no known form fails before any I/O.
if "$work/app" "NO::SUCH::RESOURCE" 2>"$work/err"; then
  echo "the example succeeded without an instrument"; exit 1
fi
cat "$work/err"
grep -q "Korvane_InitWithOptions failed: 0x[0-9A-F]* Korvane: " "$work/err"
echo "README example: built against the installed prefix and run"

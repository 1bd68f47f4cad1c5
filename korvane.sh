#!/usr/bin/env bash
# The two set-up commands of the README:
#   ./korvane.sh demo   bootstrap, build, run the demo
#   ./korvane.sh test   bootstrap, build linux and windows, run every test, print "N passed, N failed"
set -euo pipefail
cd "$(dirname "$0")"

build() {  # build <preset>
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
}

# The 32-bit build's subset: its targets and the tests run from them.
x86_targets="korvane module_tests registration_tests typelib_tests dispatch_client"
x86_tests='^(module_tests|registration_tests|typelib_tests|script_clients)$'

ctest_counts() {  # ctest_counts <preset> [<test regex>] -> "passed failed" on the last line of stdout
  local log
  log=$(mktemp)
  set +e
  ctest --preset "$1" --timeout 600 ${2:+-R "$2"} </dev/null 2>&1 | tee "$log" >&2
  set -e
  local line total failed
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  rm -f "$log"
  if [[ -z "$line" ]]; then
    echo "0 1"  # ctest itself did not finish: count it as a failure
    return
  fi
  failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
  echo "$((total - failed)) $failed"
}

case "${1:-}" in
  demo)
    scripts/bootstrap
    # The demo needs the tool and the simulator only, not the tests and benchmarks.
    cmake --preset linux >/dev/null
    cmake --build --preset linux --target korvane_cli korvane-scope-sim
    exec scripts/demo build/linux
    ;;
  test)
    scripts/bootstrap --windows
    export WINEDEBUG=-all
    wineserver -p 2>/dev/null || true  # keep one Wine server up for all test programs
    trap 'wineserver -k 2>/dev/null || true' EXIT
    # Start Wine's background services now, detached from any pipe: started by the first test
    # program instead, they would inherit ctest's output pipe and ctest would wait on them.
    wineboot </dev/null >/dev/null 2>&1 || true
    build linux
    build windows
    read -r lp lf < <(ctest_counts linux | tail -n 1)
    read -r wp wf < <(ctest_counts windows | tail -n 1)
    # The 32-bit DLL: built and tested where Wine can run 32-bit programs; its subset is the
    # module, registration, type library and COM/IVI-C client tests.
    xp=0 xf=0 x86="windows-x86: skipped (no 32-bit Wine on this machine)"
    if [[ -x /usr/lib/wine/wine ]] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
      cmake --preset windows-x86 >/dev/null
      cmake --build --preset windows-x86 --target $x86_targets
      read -r xp xf < <(ctest_counts windows-x86 "$x86_tests" | tail -n 1)
      x86="windows-x86 (Wine): $xp passed, $xf failed"
    fi
    passed=$((lp + wp + xp))
    failed=$((lf + wf + xf))
    echo "linux: $lp passed, $lf failed; windows (Wine): $wp passed, $wf failed; $x86"
    echo "$passed passed, $failed failed"
    [[ $failed -eq 0 ]]
    ;;
  *)
    echo "usage: $0 demo|test" >&2
    exit 2
    ;;
esac

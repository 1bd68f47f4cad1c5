#!/usr/bin/env bash
# The two set-up commands of the README:
#   ./korvane.sh demo   bootstrap, build, run the demo
#   ./korvane.sh test   bootstrap, build linux and windows, run every test, print "N passed, N failed"
# and, beyond them:
#   ./korvane.sh package   the Debian packages, the Windows installer, the wheel and sdist, into
#                          build/packages (from the linux, windows and windows-x86 trees, built first)
set -euo pipefail
cd "$(dirname "$0")"

build() {  # build <preset> [target...]
  local preset=$1
  shift
  cmake --preset "$preset" >/dev/null
  if (($#)); then
    cmake --build --preset "$preset" --target "$@"
  else
    cmake --build --preset "$preset"
  fi
}

# The 32-bit build's subset: the DLL, the module, registration and type-library tests, the
# late-bound clients, the IVI-C clients of the DLL's exports, and the installer carrying both DLLs.
X86_TARGETS=(korvane module_tests registration_tests typelib_tests dispatch_client
             ivic_c_client ivic_family_client ivic_exports_check korvane_x86_stage)
X86_TESTS='^(module_tests|registration_tests|typelib_tests|script_clients|ivic_c_client|ivic_families_simulated|ivic_exports|windows_installer_x86)$'
# What the TSan build runs: the tests that share a session between threads (COM and IVI-C), the
# service request handlers' tests (their delivery threads), and the simulator they talk to.
TSAN_TARGETS=(shared_session_tests ivic_shared_session_tests ansic_shared_session_tests visacom_event_tests
              ansic_event_tests korvane-scope-sim)
TSAN_TESTS='shared_session|event_tests'

# Wall-clock seconds per stage of the test run, printed at the end (CI must stay within budget).
stages="" stage_start=$SECONDS
stage() {  # stage <name>: records the time since the previous stage
  stages="$stages $1=$((SECONDS - stage_start))"
  stage_start=$SECONDS
}

ctest_counts() {  # ctest_counts <preset> [ctest args] -> "passed failed" on the last line of stdout
  local log preset=$1
  shift
  log=$(mktemp)
  set +e
  ctest --preset "$preset" --timeout 600 "$@" </dev/null 2>&1 | tee "$log" >&2
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
    stage bootstrap
    build linux
    stage linux-build
    build windows
    stage windows-build
    read -r lp lf < <(ctest_counts linux | tail -n 1)
    stage linux-tests
    read -r wp wf < <(ctest_counts windows | tail -n 1)
    stage windows-tests
    build linux-tsan "${TSAN_TARGETS[@]}"
    read -r tp tf < <(ctest_counts linux-tsan -R "$TSAN_TESTS" | tail -n 1)
    stage tsan
    # The 32-bit DLL, where Wine can run 32-bit programs (not on kernels without 32-bit support).
    xp=0 xf=0 x86="windows-x86: skipped (no 32-bit Wine on this machine)"
    if [[ -x /usr/lib/wine/wine ]] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
      build windows-x86 "${X86_TARGETS[@]}"
      read -r xp xf < <(ctest_counts windows-x86 -R "$X86_TESTS" | tail -n 1)
      x86="windows-x86 (Wine): $xp passed, $xf failed"
      stage windows-x86
    fi
    # ASan + UBSan (clang, linux-asan) over the unit tests, and every libFuzzer target over the
    # same instrumented library for a fixed number of executions: by default; KORVANE_HARDENED=0
    # leaves them out. KORVANE_FUZZ_RUNS=N then runs every target N executions more, over a
    # corpus kept in build/linux-clang/fuzz/corpus (the optimised fuzz-only build).
    ap=0 af=0 fp=0 ff=0 hardened="asan+ubsan and fuzz: not run (KORVANE_HARDENED=0)"
    if [[ "${KORVANE_HARDENED:-1}" != 0 ]]; then
      build linux-asan korvane_unit_tests korvane_fuzz
      read -r ap af < <(ctest_counts linux-asan -L unit | tail -n 1)
      read -r fp ff < <(ctest_counts linux-asan -L fuzz-smoke | tail -n 1)
      stage asan+fuzz
      hardened="asan+ubsan: $ap passed, $af failed; fuzz: $fp passed, $ff failed"
    fi
    if [[ -n "${KORVANE_FUZZ_RUNS:-}" ]]; then
      build linux-clang korvane_fuzz
      for target in build/linux-clang/fuzz/fuzz_*; do
        [[ -x "$target" && -f "$target" ]] || continue
        name=${target##*/fuzz_}
        mkdir -p "build/linux-clang/fuzz/corpus/$name"
        if "$target" -runs="$KORVANE_FUZZ_RUNS" -max_len=4096 -rss_limit_mb=2048 -timeout=30 \
             -print_final_stats=1 -artifact_prefix="build/linux-clang/fuzz/artifacts/$name-" \
             "build/linux-clang/fuzz/corpus/$name" </dev/null; then
          fp=$((fp + 1))
        else
          ff=$((ff + 1))
        fi
      done
      stage long-fuzz
      hardened="$hardened; long fuzz runs counted in"
    fi
    passed=$((lp + wp + tp + xp + ap + fp))
    failed=$((lf + wf + tf + xf + af + ff))
    echo "linux: $lp passed, $lf failed; windows (Wine): $wp passed, $wf failed; $x86"
    echo "tsan: $tp passed, $tf failed; $hardened"
    echo "stage times (s):$stages"
    echo "$passed passed, $failed failed"
    [[ $failed -eq 0 ]]
    ;;
  package)
    scripts/bootstrap --windows
    build linux
    build windows korvane korvane_cli korvane-store-entries
    # The 32-bit DLL, staged for the installer (cross-compiled: no 32-bit Wine needed here).
    build windows-x86 korvane_x86_stage
    start=$SECONDS  # from here on packaging only: nothing is compiled
    build windows korvane_installer >/dev/null
    out=build/packages
    rm -rf "$out" && mkdir -p "$out"
    # CPack installs each component from the linux tree into a staging folder and packs it.
    (cd build/linux && cpack --config CPackConfig.cmake >/dev/null)
    cp build/linux/packages/*.deb "$out"/
    cp build/windows/packages/korvane-*-win64-setup.exe "$out"/
    # Debian's interpreter, which has python3-build and setuptools.
    /usr/bin/python3 packaging/python_dist.py . build/linux "$out" >/dev/null
    echo "lintian:"
    lintian --tag-display-limit 0 "$out"/*.deb || true
    ls -l "$out"
    echo "packaged in $((SECONDS - start)) s (after the builds)"
    ;;
  *)
    echo "usage: $0 demo|test|package" >&2
    exit 2
    ;;
esac

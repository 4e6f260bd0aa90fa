#!/usr/bin/env bash
# Runs the Windows-side gtests (English and Japanese mode) and the end-to-end
# pytest suite under Wine in a private Xvfb, with fresh prefixes in BUILD/wine.
#
#   tests/e2e/run.sh [BUILD] [pytest arguments...]
#
# BUILD (default build) holds win32/ (the module, win_*_test.exe, uidriver.exe)
# and host/ (cabsfx-tool). Exits non-zero when anything failed; the last line
# is "N passed, N failed". On a machine that starts no 32-bit programs it says
# so, runs only the tests that need no Wine and skips the others (exit 2
# instead with CABSFX_REQUIRE_WINE=1).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-build}
shift || true
[[ "$build" = /* ]] || build=$root/$build
if [[ ! -d "$build/win32" ]]; then
  echo "run.sh: $build/win32 does not exist; build the win32 tree first" >&2
  exit 2
fi

source "$here/wineenv.sh"
passed=0
failed=0
skipped=0
logs=$build/e2e-logs
rm -rf "$logs"
mkdir -p "$logs"

if ! wineenv_runs_32bit; then
  # Nothing 32-bit can run here: only the checks of the module's file run.
  echo "run.sh: $WINEENV_NO_32BIT; the Windows-side tests and the end-to-end tests that need" \
    "Wine are SKIPPED (CABSFX_REQUIRE_WINE=1 makes this an error)"
  [[ "${CABSFX_REQUIRE_WINE:-0}" = 1 ]] && exit 2
  export CABSFX_NO_WINE=1
else
  wineenv_start "$build" || { echo "run.sh: the Wine environment could not be set up"; exit 2; }
  # gtest under Wine: each executable in each mode; a hung test is ended.
  run_gtest() {
    local exe=$1 prefix=$2 locale=$3 label=$4
    local log="$logs/$(basename "$exe" .exe)-$label.log"
    if LC_ALL=$locale WINEPREFIX=$prefix timeout -k 5 300 wine "$exe" --gtest_color=no >"$log" 2>&1 &&
      grep -q '^\[  PASSED  \]' "$log"; then
      passed=$((passed + 1))
      echo "PASS $(basename "$exe") [$label] $(grep -E '^\[==========\] .* ran' "$log" | tail -1)"
    else
      failed=$((failed + 1))
      echo "FAIL $(basename "$exe") [$label] (log: $log)"
      grep -E '^\[  FAILED  \]|Failure|error' "$log" | head -20 | sed 's/^/    /'
    fi
  }

  shopt -s nullglob
  gtests=("$build"/win32/tests/windows/win_*_test.exe)
  echo "== Windows-side tests under Wine (${#gtests[@]} executables)"
  for exe in "${gtests[@]}"; do
    run_gtest "$exe" "$CABSFX_PREFIX64" en_US.UTF-8 win64-en
    # The library's own tests depend on neither the language nor the bitness.
    [[ $(basename "$exe") = win_portable_test.exe ]] && continue
    run_gtest "$exe" "$CABSFX_PREFIX64" ja_JP.UTF-8 win64-ja
    run_gtest "$exe" "$CABSFX_PREFIX32" en_US.UTF-8 win32-en
  done
  # Whatever a test left running goes; the servers stay up for the next part.
  for prefix in "$CABSFX_PREFIX64" "$CABSFX_PREFIX32"; do
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
    WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1
    WINEPREFIX=$prefix wineserver -p >/dev/null 2>&1
  done
  echo "gtest runs: $passed passed, $failed failed"
fi

echo "== end-to-end tests under Wine"
python=/usr/bin/python3
[[ -x $python ]] || python=python3
results=$build/e2e-results.xml
rm -rf "$build/pictures"
CABSFX_BUILD=$build PYTHONDONTWRITEBYTECODE=1 "$python" -m pytest "$here" -q -rfEsx -p no:cacheprovider \
  --junitxml="$results" "$@"
pytest_rc=$?
if [[ -f "$results" ]]; then
  read -r e2e_passed e2e_failed e2e_skipped < <("$python" - "$results" <<'EOF'
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
suites = [root] if root.tag == "testsuite" else list(root)
tests = sum(int(s.get("tests", 0)) for s in suites)
bad = sum(int(s.get("failures", 0)) + int(s.get("errors", 0)) for s in suites)
skipped = sum(int(s.get("skipped", 0)) for s in suites)
print(tests - bad - skipped, bad, skipped)
EOF
  )
  passed=$((passed + e2e_passed))
  failed=$((failed + e2e_failed))
  skipped=$e2e_skipped
fi
if ((pytest_rc != 0 && pytest_rc != 5)) && [[ ! -f "$results" ]]; then failed=$((failed + 1)); fi
# A collection error or an interrupted run counts even when no test failed.
if ((pytest_rc != 0 && pytest_rc != 5 && failed == 0)); then failed=1; fi

echo "pictures: $build/pictures"
echo "$passed passed, $failed failed$( ((skipped)) && echo ", $skipped skipped")"
((failed == 0))

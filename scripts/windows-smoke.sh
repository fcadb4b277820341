#!/usr/bin/env bash
# Cross-builds tavrik.exe with MinGW-w64 and runs a few commands under Wine.
# Usage: scripts/windows-smoke.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --windows
build=${1:-build-mingw}
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
      -DTAVRIK_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target tavrik

export WINEDEBUG=-all WINEPREFIX="$(cd "$build" && pwd)/wineprefix"
run() { timeout 300 wine "$build/tavrik.exe" "$@" 2>/dev/null | tr -d '\r'; }

passed=0 failed=0
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then echo "ok: $1"; passed=$((passed + 1))
  else echo "FAILED: $1: expected [$2], got [$3]"; failed=$((failed + 1)); fi
}
check "version" "tavrik $(sed -n 's/^project(Tavrik VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" "$(run --version)"
check "sddl canonical form" "D:(A;;FA;;;SY)" "$(run sddl 'D:(A;;0x1f01ff;;;SY)')"
# Wine's own WMI service answers; the helper's first line is its connection notice.
caption=$(run wmi "SELECT Caption FROM Win32_OperatingSystem" Caption | sed -n 2p)
check "wmi caption is a non-empty line" "yes" "$([ -n "$caption" ] && echo yes || echo "no ($caption)")"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

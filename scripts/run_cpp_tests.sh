#!/usr/bin/env bash
# Builds and runs the C++ unit tests, plainly and under AddressSanitizer + UBSan.
# Usage: scripts/run_cpp_tests.sh [plain|sanitize|all]   (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
mode="${1:-all}"
jobs="$(nproc 2>/dev/null || echo 2)"

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

run() {  # build-dir, extra cmake args...
  local dir="$1"; shift
  cmake -S . -B "$dir" "${generator[@]}" -DMORVEL_BUILD_TESTS=ON -DMORVEL_BUILD_PYTHON=OFF "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

if [ "$mode" = plain ] || [ "$mode" = all ]; then
  run build/cpp-release -DCMAKE_BUILD_TYPE=Release
fi
if [ "$mode" = sanitize ] || [ "$mode" = all ]; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run build/cpp-asan -DCMAKE_BUILD_TYPE=Debug -DMORVEL_SANITIZE=address,undefined
fi

#!/usr/bin/env bash
# Builds the extension module with AddressSanitizer + UndefinedBehaviorSanitizer into its
# own build directory and runs the entry fuzzer against it.
# Usage: scripts/fuzz_sanitized.sh [seconds]   (default: 60)
#
# The interpreter is not instrumented, so the sanitizer runtime has to be loaded first
# (LD_PRELOAD), together with libstdc++: otherwise the first C++ exception thrown inside
# the module stops ASan. A throwing `new` that fails is fatal under ASan, so the fuzzer
# leaves out the inputs whose only outcome is such an allocation (--sanitized).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
jobs="$(nproc 2>/dev/null || echo 2)"
python="$(command -v "${PYTHON:-python}")"
cxx="${CXX:-g++}"
# The build directory and flags of the sanitized unit tests (scripts/run_cpp_tests.sh), so
# that their core library is reused; only the module itself is added.
dir=build/cpp-asan

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

cmake -S . -B "$dir" "${generator[@]}" -DMORVEL_BUILD_PYTHON=ON -DMORVEL_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Debug -DMORVEL_SANITIZE=address,undefined \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$dir" -j "$jobs" --target _morvel_core

preload="$("$cxx" -print-file-name=libasan.so) $("$cxx" -print-file-name=libstdc++.so.6)"
# PYTHONPATH puts the sanitized module ahead of the installed one.
LD_PRELOAD="$preload" \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:halt_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONPATH="$dir" \
  "$python" tests/python/fuzz_entries.py fuzz --seconds "$seconds" --sanitized \
  --expect-module "$dir"

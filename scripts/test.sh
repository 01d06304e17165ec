#!/usr/bin/env bash
# Runs every test: installs what is needed, then the C++ unit tests (plain and sanitized)
# and the Python test suite against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
bash scripts/run_cpp_tests.sh all
# Run from outside the source tree so the installed package is the one imported.
repo="$(pwd)"
(cd /tmp && python -X dev -m pytest -q -p no:cacheprovider "$repo/tests/python" -c "$repo/pyproject.toml")
# The README's main job: the end-to-end example through the package API.
(cd /tmp && python "$repo/examples/recourse.py" >/dev/null)
# The entry fuzzer again, against an AddressSanitizer + UBSan build of the extension.
bash scripts/fuzz_sanitized.sh 60

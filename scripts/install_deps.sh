#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh machine (Debian + CPython).
set -euo pipefail
cd "$(dirname "$0")/.."

if ! [ -f /usr/include/gtest/gtest.h ] || ! command -v cmake >/dev/null; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq libgtest-dev cmake g++ >/dev/null
fi
python -m pip install -q --upgrade pip
python -m pip install -q ".[test]"

#!/usr/bin/env bash
# Fails when a C++ file of the engine, its tests, benchmarks or fuzz targets
# differs from what .clang-format asks for (the files `make format` rewrites).
set -eu
cd "$(dirname "$0")/.."
tools/ensure-system-deps.sh clang-format
clang-format --dry-run -Werror $(git ls-files 'src/*.cpp' 'src/*.h' 'src/*.inc' \
  'tests/cpp/*.cpp' 'tests/cpp/*.h' 'bench/*.cpp' 'fuzz/*.cpp' 'fuzz/*.h')

#!/usr/bin/env bash
# Fails when a C++ file under src/ differs from what .clang-format asks for.
set -eu
cd "$(dirname "$0")/.."
tools/ensure-system-deps.sh clang-format
clang-format --dry-run -Werror $(git ls-files 'src/*.cpp' 'src/*.h' 'src/*.inc')

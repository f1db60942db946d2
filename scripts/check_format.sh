#!/usr/bin/env bash
# Fails when a C++ file of the project is not formatted with the project's .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.h.in' 2>/dev/null || find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
[[ ${#files[@]} -gt 0 ]] || exit 0
clang-format --dry-run --Werror "${files[@]}"
echo "format ok: ${#files[@]} files"

#!/usr/bin/env bash
# Runs clang-tidy with the project's .clang-tidy over the program's sources.
# Usage: check_tidy.sh BUILD_DIR (a build with compile_commands.json)
set -euo pipefail
build=$(realpath "$1")
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files 'app/*.cpp' 'cli/*.cpp' 'net/*.cpp' 'servers/*.cpp' 'vpn/*.cpp')
printf '%s\n' "${files[@]}" | xargs -P "$(nproc)" -n 2 clang-tidy -p "$build" --quiet 2>/dev/null
echo "clang-tidy ok: ${#files[@]} files"

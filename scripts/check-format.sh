#!/usr/bin/env bash
# Fails, showing where, when a C++ source does not look as .clang-format says.
#   check-format.sh [clang-format]
set -uo pipefail
cd "$(dirname "$0")/.."
format=${1:-clang-format}
find bench fuzz platform quillmar ravelgrid tools \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print0 |
  xargs -0 -P"$(nproc)" -n 20 "$format" --dry-run -Werror

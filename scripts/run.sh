#!/usr/bin/env bash
# Builds the application and starts it. Only what the application needs is
# built (and its icons, for `cmake --install`); the tests and benchmarks are
# built by scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target quillmar quillmar_icons
exec build/quillmar/app/quillmar "$@"

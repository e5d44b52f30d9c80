#!/usr/bin/env bash
# Builds the application and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

if [ -x build/quillmar/app/quillmar ]; then
  exec build/quillmar/app/quillmar "$@"
elif [ -x build/tools/rgdump ]; then
  # No window yet: run the user's shell in the headless terminal and show its screen.
  exec build/tools/rgdump "$@"
else
  echo "Nothing to run yet: the build produced no application." >&2
  exit 1
fi

#!/usr/bin/env bash
# Grows the fuzz corpora kept in the repository (fuzz/corpus/<target>) and
# minimises them: each fuzzer runs from its corpus for a while, then
# libFuzzer's merge keeps the smallest set of inputs that covers everything
# found, which replaces the folder.
#
#   bash scripts/fuzz-corpus.sh [seconds per target] [targets...]
#
# Needs the sanitizer build with the fuzzers (see scripts/test.sh), in
# build-asan/ or the folder named by FUZZ_BUILD.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${FUZZ_BUILD:-$root/build-asan}"
seconds="${1:-120}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(TerminalFuzz SearchFuzz KittyFuzz SixelFuzz TerminalLinksFuzz SSHConfigFuzz SSHKeysFuzz)
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

for target in "${targets[@]}"; do
  binary="$(find "$build" -type f -name "$target" -perm -u+x | head -n 1)"
  if [ -z "$binary" ]; then
    echo "$target: not built in $build, skipped" >&2
    continue
  fi
  corpus="$root/fuzz/corpus/$target"
  mkdir -p "$corpus" "$work/$target/grown" "$work/$target/merged"
  echo "== $target: ${seconds}s from $(ls "$corpus" | wc -l) inputs"
  "$binary" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=0 \
    "$work/$target/grown" "$corpus" >"$work/$target/run.log" 2>&1 || {
    echo "$target: the run failed, see below; the corpus is left as it was" >&2
    tail -n 30 "$work/$target/run.log" >&2
    continue
  }
  "$binary" -merge=1 -rss_limit_mb=2048 "$work/$target/merged" "$corpus" "$work/$target/grown" \
    >"$work/$target/merge.log" 2>&1
  rm -rf "$corpus"
  mv "$work/$target/merged" "$corpus"
  echo "   now $(ls "$corpus" | wc -l) inputs, $(du -sh "$corpus" | cut -f1)"
done

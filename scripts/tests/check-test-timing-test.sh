#!/usr/bin/env bash
# Feeds check-test-timing.sh small samples (never built or run, hence
# .sample): in timing/caught.* it must name exactly the statements that
# follow a "caught" line, and it must pass timing/passed.* as it is.
#   check-test-timing-test.sh [check-test-timing.sh]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
check=${1:-$here/../check-test-timing.sh}
failed=0

for sample in "$here"/timing/caught.*; do
  expected=$(grep -nE '^ *(//|#) caught$' "$sample" | cut -d: -f1 | awk '{ print $1 + 1 }' | sort)
  out=$(bash "$check" "$sample" 2>/dev/null)
  status=$?
  named=$(sed -n "s|^$sample:\([0-9]*\):.*|\1|p" <<<"$out" | sort -u)
  missed=$(comm -23 <(echo "$expected") <(echo "$named") | sed '/^$/d')
  extra=$(comm -13 <(echo "$expected") <(echo "$named") | sed '/^$/d')
  [ "$status" -ne 0 ] || { echo "check-test-timing-test: $sample passed" >&2; failed=1; }
  for line in $missed; do
    echo "check-test-timing-test: not named: $sample:$line: $(sed -n "${line}p" "$sample")" >&2
    failed=1
  done
  for line in $extra; do
    echo "check-test-timing-test: named, but not marked: $sample:$line: $(sed -n "${line}p" "$sample")" >&2
    failed=1
  done
done

for sample in "$here"/timing/passed.*; do
  if ! out=$(bash "$check" "$sample" 2>/dev/null); then
    echo "check-test-timing-test: named in a sample that must pass:" >&2
    echo "$out" >&2
    failed=1
  fi
done

[ "$failed" = 0 ] && echo "check-test-timing-test: every sample named as marked"
exit "$failed"

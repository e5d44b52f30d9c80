#!/usr/bin/env bash
# Sample for check-test-timing-test.sh, never run: each command after a
# "caught" line holds a measured duration to an upper bound and must be
# named; nothing else may be.
fail() { echo "$*" >&2; exit 1; }
t0=$(date +%s%N)
sleep 0.1
t1=$(date +%s%N)
# caught
[ $(((t1 - t0) / 1000000)) -lt 500 ] || fail "slow"
took=$(((t1 - t0) / 1000000))
# caught
[ "$took" -le 500 ] || fail "slow"
start=$SECONDS
sleep 1
waited=$((SECONDS - start))
# caught
[ "$waited" -lt 5 ] ||
  fail "waited $waited s"
# caught
if [ "$waited" -gt 3 ]; then fail "late"; fi
# caught
((waited < 3)) || exit 1
# caught
[ 2 -ge "$waited" ] || exit 1

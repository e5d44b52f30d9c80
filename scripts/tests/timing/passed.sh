#!/usr/bin/env bash
# Sample for check-test-timing-test.sh, never run: lower bounds, deadlines for
# waiting and reports of a time, none of which check-test-timing.sh may name.
fail() { echo "$*" >&2; exit 1; }
started=$SECONDS
while [ $((SECONDS - started)) -lt 35 ]; do
  sleep 1
done
until [ -e done ] || [ $((SECONDS - started)) -ge 60 ]; do sleep 0.1; done
begun=$(date +%s%N)
sleep 1
took=$((($(date +%s%N) - begun) / 1000000))
echo "took $took ms"
[ "$took" -ge 1000 ] || fail "it did not wait its second"
[ $((SECONDS - started)) -ge 1 ] || fail "too soon"
if [ "$took" -lt 5000 ]; then echo "fast enough to report"; fi

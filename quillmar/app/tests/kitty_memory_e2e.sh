#!/usr/bin/env bash
# A program in the real window sends five 8000x8000 kitty images (zlib, 1.6 MB
# on the wire, 256 MB of pixels each): the window's peak resident size stays
# bounded, the window answers every clipboard read while they arrive (they
# are decoded off its thread), and the shell answers afterwards.
#   kitty_memory_e2e.sh <quillmar> <kitty_images.py> <peak MiB>
set -u
E2E_NAME=kitty_memory_e2e
. "$(dirname "$0")/e2e-lib.sh"

on_screen() {
  local w=$E2E_WORK peak
  python3 "$E2E_IMAGES" 5 8000 >"$w/images.bin" || e2e_fail "the images could not be made"
  e2e_open || return 1
  e2e_run_until "echo \$\$ > $w/ready" "$w/ready" || e2e_fail "the shell did not answer"
  # The window owns the clipboard: each read of it is answered by the
  # window's own thread, so its time shows how long that thread is busy
  # (printed; bench/image_bench times the decoding).
  e2e_run_until "printf '\\033]52;c;cHJvYmU=\\a'; echo > $w/copied" "$w/copied" || e2e_fail "the shell did not answer"
  local tries=0
  until [ "$(timeout 5 xclip -o -selection clipboard 2>/dev/null)" = probe ]; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || e2e_fail "the window did not take the clipboard"
    sleep 0.1
  done
  # The answer to a device-attributes query comes only once every image
  # before it was taken.
  e2e_run "cat $w/images.bin; printf '\\033[c'; IFS= read -rsd c; echo done > $w/done"
  local longest=0 start took reads=0 unanswered=0 deadline=$((SECONDS + 90))
  while [ ! -e "$w/done" ] && [ $SECONDS -lt $deadline ]; do
    start=$(date +%s%N)
    [ "$(timeout 10 xclip -o -selection clipboard 2>/dev/null)" = probe ] || unanswered=$((unanswered + 1))
    took=$((($(date +%s%N) - start) / 1000000))
    [ "$took" -gt "$longest" ] && longest=$took
    reads=$((reads + 1))
  done
  [ -e "$w/done" ] || e2e_fail "the images were not taken within 90 seconds"
  echo "$E2E_NAME: $reads clipboard reads while the images arrived, the longest $longest ms"
  [ "$unanswered" = 0 ] || e2e_fail "$unanswered of $reads clipboard reads went unanswered while the images arrived"
  peak=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status")
  echo "$E2E_NAME: peak resident size $((peak / 1024)) MiB"
  [ "$peak" -lt $((E2E_PEAK_MIB * 1024)) ] || e2e_fail "the window peaked at $((peak / 1024)) MiB"
  e2e_run "echo after > $w/after"
  e2e_waitfile "$w/after" 200 || e2e_fail "the shell did not answer after the images"
  e2e_stop
}
e2e_part

export E2E_APP=$1 E2E_IMAGES=$2 E2E_PEAK_MIB=$3
e2e_home
e2e_xvfb on_screen

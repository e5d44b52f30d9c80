#!/usr/bin/env bash
# Runs a command on a virtual X server of its own, DISPLAY naming it. The
# server takes a free display itself (-displayfd), so tests started at once
# never share one, as they may when xvfb-run -a guesses a free number.
#   with-xvfb.sh [-s "SERVER ARGUMENTS"] COMMAND [ARG...]
set -u
arguments="-screen 0 1280x800x24"
if [ "${1:-}" = -s ]; then
  arguments=$2
  shift 2
fi
dir=$(mktemp -d "${TMPDIR:-/tmp}/qm-xvfb-XXXXXX") || exit 1
# shellcheck disable=SC2086
Xvfb -displayfd 3 -nolisten tcp $arguments 3>"$dir/display" 2>"$dir/log" &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -rf "$dir"' EXIT
trap 'exit 143' TERM INT HUP
# Written once the server takes connections.
until [ -s "$dir/display" ]; do
  if ! kill -0 "$server" 2>/dev/null; then
    echo "with-xvfb: the X server did not start:" >&2
    cat "$dir/log" >&2
    exit 1
  fi
  sleep 0.05
done
display=$(tr -dc 0-9 <"$dir/display")
DISPLAY=:$display "$@"

#!/usr/bin/env bash
# Runs one test in a home of its own, so that nothing it starts (a shell and
# its history, ssh, Qt's and fontconfig's caches, Mesa's shader cache, a
# keyring) writes into the home of whoever runs the tests, and tests running
# side by side share none of it: an empty folder under ROOT for HOME, the XDG
# folders and HISTFILE, a private runtime folder, and no way to the desktop
# session's bus, display or keyring. Both go when the test ends (kept with
# QM_KEEP_TEST_HOMES=1).
#   test-home.sh ROOT COMMAND [ARG...]
set -u

# OpenSSH (client and server) and Mesa without XDG_CACHE_HOME take the home
# from the password database, not $HOME. As root the test runs in a private
# mount namespace where the database names the test's home for this user.
namespace=
if [ "${1:-}" = --in-namespace ]; then
  namespace=1
  shift
elif [ "$(id -u)" = 0 ] && unshare -m --propagation private true 2>/dev/null; then
  exec unshare -m --propagation private bash "$0" --in-namespace "$@"
fi

root=$1
shift
mkdir -p "$root" || exit 1
home=$(mktemp -d "$root/$(basename "$1").XXXXXX") || exit 1
# Sockets go in the runtime folder: a short path keeps them within the
# 108 bytes a socket's name may have, wherever the build tree is.
run=$(mktemp -d "${TMPDIR:-/tmp}/qm-run-XXXXXX") || { rm -rf "$home"; exit 1; }
chmod 700 "$home" "$run"
mkdir -p "$home/.config" "$home/.local/share" "$home/.local/state" "$home/.cache"

export HOME=$home HISTFILE=$home/.bash_history XDG_RUNTIME_DIR=$run \
  XDG_CONFIG_HOME=$home/.config XDG_DATA_HOME=$home/.local/share \
  XDG_STATE_HOME=$home/.local/state XDG_CACHE_HOME=$home/.cache
if [ -n "$namespace" ]; then
  awk -F: -v OFS=: -v uid="$(id -u)" -v h="$home" '$3 == uid { $6 = h } { print }' /etc/passwd >"$run/passwd" &&
    chmod 644 "$run/passwd" && mount --bind "$run/passwd" /etc/passwd ||
    echo "test-home: the password database still names the real home" >&2
fi
# zsh would read and write the person's own files there.
unset ZDOTDIR
# The session's keyring and settings services keep their files in the real
# home; a test that needs a bus starts its own.
export DBUS_SESSION_BUS_ADDRESS=unix:path=$run/no-session-bus
# Nothing may show on the desktop of whoever runs the tests: a keyring prompt
# there grabs the keyboard of someone typing elsewhere. Tests that draw start
# an X server of their own.
unset DISPLAY XAUTHORITY WAYLAND_DISPLAY WAYLAND_SOCKET AT_SPI_BUS_ADDRESS GNOME_KEYRING_CONTROL
# Leaks inside libraries we don't own are named in lsan.supp; options the
# caller gives come after it and win.
export LSAN_OPTIONS="suppressions=$(cd "$(dirname "$0")" && pwd)/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

"$@"
status=$?

if [ -n "${QM_KEEP_TEST_HOMES:-}" ]; then
  echo "test home kept: $home" >&2
else
  # A test may leave folders it made unreadable on purpose.
  chmod -R u+rwx "$home" 2>/dev/null
  rm -rf "$home"
fi
chmod -R u+rwx "$run" 2>/dev/null
rm -rf "$run"
exit $status

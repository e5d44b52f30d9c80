#!/usr/bin/env bash
# Run by CTest through test-home.sh: the test's home is a fresh empty folder
# of the build tree holding every XDG folder and the shell's history, and as
# root the password database (which OpenSSH reads for ~) names it too; no
# way to the desktop's display, keyring or session bus is left.
#   test-home-check.sh BUILD_DIR
set -u
fail() { echo "test_home: $*" >&2; exit 1; }

case $HOME in "$1/test-homes/"*) ;; *) fail "HOME is $HOME, not a folder of $1/test-homes" ;; esac
[ -z "$(find "$HOME" -type f)" ] || fail "HOME is not empty: $(find "$HOME" -type f)"
for var in XDG_CONFIG_HOME XDG_DATA_HOME XDG_STATE_HOME XDG_CACHE_HOME HISTFILE; do
  case ${!var:-} in "$HOME/"*) ;; *) fail "$var is '${!var:-}', outside $HOME" ;; esac
done
[ "$(stat -c %a:%u "$XDG_RUNTIME_DIR" 2>/dev/null)" = "700:$(id -u)" ] ||
  fail "XDG_RUNTIME_DIR ${XDG_RUNTIME_DIR:-} is not a private folder"
case ${DBUS_SESSION_BUS_ADDRESS:-} in *"$XDG_RUNTIME_DIR"*) ;; *) fail "the session bus is $DBUS_SESSION_BUS_ADDRESS" ;; esac
# CTest gives this test the ways to a desktop a person's terminal has.
for var in DISPLAY XAUTHORITY WAYLAND_DISPLAY WAYLAND_SOCKET AT_SPI_BUS_ADDRESS GNOME_KEYRING_CONTROL; do
  [ -z "${!var+set}" ] || fail "$var is '${!var}': a way to the desktop of whoever runs the tests"
done
# The leak suppressions come first, and name libraries only, none of ours.
supp=$(cd "$(dirname "$0")" && pwd)/lsan.supp
case ${LSAN_OPTIONS:-} in "suppressions=$supp:"*":verbosity=0") ;; *) fail "LSAN_OPTIONS is '${LSAN_OPTIONS:-}'" ;; esac
bad=$(grep -v '^\(#\|$\)' "$supp" | grep -v '^leak:\(lib[A-Za-z0-9_+-]*\|_dri\)\(\.so\)\?$')
[ -z "$bad" ] || fail "lsan.supp has more than library names: $bad"
! grep -v '^#' "$supp" | grep -qi 'quillmar\|ravelgrid\|platform' || fail "lsan.supp names our own code"

if [ "$(id -u)" = 0 ] && unshare -m --propagation private true 2>/dev/null; then
  [ "$(getent passwd 0 | cut -d: -f6)" = "$HOME" ] || fail "the password database names $(getent passwd 0)"
  known=$(ssh -G -F /dev/null qm-test-host | awk '$1 == "userknownhostsfile" { print $2 }')
  [ "$known" = "$HOME/.ssh/known_hosts" ] || fail "ssh would write its known hosts to $known"
fi
echo "test_home: $HOME"

#!/usr/bin/env bash
# A local tab in the real window is the account's login shell with the
# desktop session's environment: the password database names the shell
# (not $SHELL, not whichever shell is installed), and the session bus, the
# user's own variables and a UTF-8 character type reach it, while the
# launch's startup token does not. Runs on a private session bus with no
# services, in a mount namespace where a copy of /etc/passwd names the shell.
#   session_env_e2e.sh <quillmar>
set -u
E2E_NAME=session_env_e2e
. "$(dirname "$0")/e2e-lib.sh"

on_screen() {
  local w=$E2E_WORK
  e2e_open || exit 1
  # Sourced, so that $0 is the shell itself.
  e2e_run_until ". $w/facts" "$w/env.out" || e2e_fail "the local shell wrote nothing"
  e2e_stop
  local want got
  want=$(printf '%s\n' "$QM_E2E_SHELL" "$DBUS_SESSION_BUS_ADDRESS" "from the session" none "POSIX/C.UTF-8" UTF-8 bus-answers)
  got=$(cat "$w/env.out")
  [ "$got" = "$want" ] || { printf '%s: the shell saw\n%s\ninstead of\n%s\n' "$E2E_NAME" "$got" "$want" >&2; exit 1; }
  echo "$E2E_NAME: $(echo "$got" | tr '\n' ' ')"
}
e2e_part

app=$1
command -v dbus-run-session >/dev/null && command -v dbus-send >/dev/null ||
  { echo "$E2E_NAME: no dbus-run-session; skipped"; exit 77; }
e2e_unshare "$@"
e2e_home
# zsh, where installed, and $SHELL name another shell than the account's.
shell=/bin/bash
[ -x /bin/dash ] && shell=/bin/dash
e2e_bind_passwd "$shell"
e2e_private_bus
# One line per fact; the bus is asked through the shell's own environment.
cat >"$E2E_WORK/facts" <<'FACTS'
{
  echo "$0"; echo "$DBUS_SESSION_BUS_ADDRESS"; echo "$QM_E2E_MINE"; echo "${XDG_ACTIVATION_TOKEN-none}"
  echo "$LANG/${LC_CTYPE-}"; locale charmap
  dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetId >/dev/null && echo bus-answers
} >"$HOME/facts.tmp"
mv "$HOME/facts.tmp" "$HOME/env.out"
FACTS
export E2E_APP=$app QM_E2E_SHELL=$shell QM_E2E_MINE="from the session" SHELL=/bin/zsh \
  XDG_ACTIVATION_TOKEN=quillmar-launch-token LANG=POSIX
unset LC_ALL LC_CTYPE
e2e_xvfb on_screen dbus-run-session --config-file="$E2E_WORK/bus.conf" --
e2e_finish $? "" ""

#!/usr/bin/env bash
# Runs a command against a throwaway Secret Service: a private session bus,
# and gnome-keyring-daemon unlocked with a test password in a fresh HOME;
# with --silent, the given stand-in that owns the name and never answers.
# The bus starts no service by itself, so a keyring that wants a password
# (a locked one) finds no prompter to show, on any display: it gives up at
# once, and nothing grabs the keyboard.
# With --deny-own, the bus lets no one own the given name.
# Usage: with-keyring.sh [--deny-own <name>] [--silent <service>] <command> [args...]
set -euo pipefail

if [ -z "${QM_KEYRING_SESSION:-}" ]; then
  deny=
  if [ "${1:-}" = --deny-own ]; then
    deny=$2
    shift 2
  fi
  bus=$(mktemp -d "${TMPDIR:-/tmp}/qm-bus-XXXXXX")
  . "$(dirname "$0")/../../cmake/private-bus.sh"
  qm_private_bus "$bus" "$deny"
  trap 'rm -rf "$bus"' EXIT
  QM_KEYRING_SESSION=1 dbus-run-session --config-file="$bus/bus.conf" -- bash "$0" "$@"
  exit
fi

silent=
if [ "${1:-}" = --silent ]; then
  silent=$2
  shift 2
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/qm-keyring-XXXXXX")
service=
trap '[ -z "$service" ] || kill "$service" 2>/dev/null; rm -rf "$scratch"' EXIT
export HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/run" XDG_DATA_HOME="$scratch/data"
export XDG_CONFIG_HOME="$scratch/config" XDG_CACHE_HOME="$scratch/cache" XDG_STATE_HOME="$scratch/state"
export HISTFILE="$HOME/.bash_history"
mkdir -p "$HOME/.local/share/keyrings" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_STATE_HOME"
mkdir -m 700 "$XDG_RUNTIME_DIR"

if [ -n "$silent" ]; then
  "$silent" &
  service=$!
else
  # A non-empty password: with an empty one the daemon wants a prompt it can't show.
  eval "$(printf '%s' 'test-password' | gnome-keyring-daemon --daemonize --unlock --components=secrets)"
  export GNOME_KEYRING_CONTROL
fi

# Wait until the daemon owns the service name: the bus would start none in its place.
for _ in $(seq 1 100); do
  if dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
      string:org.freedesktop.secrets 2>/dev/null | grep -q 'boolean true'; then
    break
  fi
  sleep 0.05
done

if [ -n "$silent" ]; then
  export QM_SILENT_KEYRING_TEST=1
else
  export QM_KEYRING_TEST=1
fi
"$@"

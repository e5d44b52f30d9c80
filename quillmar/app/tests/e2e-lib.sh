# shellcheck shell=bash
# Shared steps of the end-to-end scripts, which source it after `set -u` and
# after setting E2E_NAME (the prefix of their messages).
#
# A script keeps what runs on the virtual X server in a function (a "part")
# and calls `e2e_part` before its own set-up: `e2e_xvfb PART` runs the
# script again on an X server of its own with E2E_PART=PART, and that second run only
# runs the part. What the part needs travels in exported variables:
# E2E_APP (the program), E2E_WORK (the temporary home), E2E_FINDER (the
# screenshot checker, where there is one).

. "$(dirname "${BASH_SOURCE[0]}")/../../../cmake/private-bus.sh"

# --- outside the X server -------------------------------------------------

# When this run is the one on the X server, runs the part and exits with its
# status.
e2e_part() {
  [ -n "${E2E_PART:-}" ] || return 0
  local part=$E2E_PART
  unset E2E_PART
  "$part"
  exit $?
}

# A temporary home with a quiet login shell (no start-up files of the person
# running the test) and every XDG folder inside it; removed on exit, after the
# processes named in e2e_pids are stopped. Sets and exports E2E_WORK.
e2e_pids=()
e2e_home() {
  E2E_WORK=$(mktemp -d)
  trap e2e_cleanup EXIT
  mkdir -p "$E2E_WORK/run" "$E2E_WORK/.config" "$E2E_WORK/.local/share" "$E2E_WORK/.local/state" "$E2E_WORK/.cache"
  chmod 700 "$E2E_WORK/run"
  export E2E_WORK HOME=$E2E_WORK ZDOTDIR=$E2E_WORK HISTFILE=$E2E_WORK/.bash_history \
    XDG_CONFIG_HOME=$E2E_WORK/.config XDG_DATA_HOME=$E2E_WORK/.local/share XDG_STATE_HOME=$E2E_WORK/.local/state \
    XDG_CACHE_HOME=$E2E_WORK/.cache XDG_RUNTIME_DIR=$E2E_WORK/run
  # The same quiet prompt for bash or sh as the account's login shell.
  local rc
  for rc in .zshrc .bash_profile .profile; do printf "PS1='$ '\n" >"$E2E_WORK/$rc"; done
}

# Inside a keyring session, which gives HOME and the XDG folders: a
# temporary folder for the shell's files, with a quiet zsh, removed on exit.
# Sets and exports E2E_WORK.
e2e_shell_scratch() {
  E2E_WORK=$(mktemp -d)
  export E2E_WORK ZDOTDIR=$E2E_WORK
  trap 'rm -rf "$E2E_WORK"' EXIT
  printf 'PS1="$ "\n' >"$E2E_WORK/.zshrc"
  # bash or sh as the login shell read these from the keyring session's home.
  printf 'PS1="$ "\n' >"$HOME/.bash_profile"
  printf 'PS1="$ "\n' >"$HOME/.profile"
}

e2e_cleanup() {
  local p
  for p in "${e2e_pids[@]}"; do kill "$p" 2>/dev/null; done
  rm -rf "$E2E_WORK"
}

# Runs PART on a fresh virtual X server; a command given after PART wraps
# the X server (a session bus, a keyring). Returns the part's status.
e2e_xvfb() {
  local part=$1
  shift
  E2E_PART=$part "$@" bash "$(dirname "${BASH_SOURCE[0]}")/../../../cmake/with-xvfb.sh" \
    -s "-screen 0 1280x800x24 -noreset" bash "$0"
}

# Copies the last screenshot to KEEP when one was asked for; on failure
# says MESSAGE (when not empty) and prints the logs (the application's when
# none are named). Exits with STATUS.
#   e2e_finish STATUS KEEP MESSAGE [LOG...]
e2e_finish() {
  local status=$1 keep=$2 message=$3
  shift 3
  [ $# -gt 0 ] || set -- "$E2E_WORK/app.log"
  if [ -n "$keep" ] && [ -f "$E2E_WORK/shot.png" ]; then
    cp "$E2E_WORK/shot.png" "$keep"
  fi
  if [ "$status" -ne 0 ]; then
    [ -z "$message" ] || echo "$E2E_NAME: $message" >&2
    cat "$@" >&2 2>/dev/null
  fi
  exit "$status"
}

# OpenSSH run as root takes ~ from the password database, not $HOME: re-runs
# the script in a private mount namespace (where e2e_bind_passwd may bind a
# copy over /etc/passwd), or skips (77) where there is none.
e2e_unshare() {
  [ -z "${E2E_UNSHARED:-}" ] || return 0
  if ! unshare -m --propagation private true 2>/dev/null; then
    echo "$E2E_NAME: no mount namespace here (unshare -m refused); skipped"
    exit 77
  fi
  export E2E_UNSHARED=1
  exec unshare -m --propagation private bash "$0" "$@"
}

# A private session bus for dbus-run-session --config-file="$E2E_WORK/bus.conf":
# it starts only the services whose .service files are in $E2E_WORK/services.
e2e_private_bus() {
  qm_private_bus "$E2E_WORK"
}

# A private session bus (e2e_private_bus) whose only service is the
# accessibility bus, for a screen reader's view of the window.
e2e_a11y_bus() {
  e2e_private_bus
  printf '[D-BUS Service]\nName=org.a11y.Bus\nExec=/usr/libexec/at-spi-bus-launcher\n' \
    >"$E2E_WORK/services/org.a11y.Bus.service"
}

# A private session bus (e2e_private_bus) that starts the desktop's own
# password prompter (gcr) and nothing else, so a real gnome-keyring can ask
# for its password on the test's X server; exits 77 without the prompter.
e2e_prompter_bus() {
  local prompter=/usr/share/dbus-1/services/org.gnome.keyring.SystemPrompter.service
  if [ ! -f "$prompter" ]; then
    echo "$E2E_NAME: gnome-keyring's password prompter (gcr) is not installed; skipped"
    exit 77
  fi
  e2e_private_bus
  cp "$prompter" "$E2E_WORK/services/"
}

# Runs PART (a function of the script) in a session of the bus that
# e2e_private_bus made: run it as the part e2e_xvfb runs.
e2e_in_bus() {
  dbus-run-session --config-file="$E2E_WORK/bus.conf" -- env E2E_PART="$1" bash "$0"
}

# Binds a copy of /etc/passwd in which this user's home is E2E_WORK (and the
# login shell SHELL, when given) over /etc/passwd.
e2e_bind_passwd() {
  local user shell=${1:-}
  user=$(id -un)
  awk -F: -v OFS=: -v u="$user" -v h="$E2E_WORK" -v s="$shell" \
    '$1 == u { $6 = h; if (s != "") $7 = s } { print }' /etc/passwd >"$E2E_WORK/passwd"
  mount --bind "$E2E_WORK/passwd" /etc/passwd || { echo "$E2E_NAME: cannot bind a passwd copy; skipped"; exit 77; }
  [ "$(getent passwd "$user" | cut -d: -f6)" = "$E2E_WORK" ] ||
    { echo "$E2E_NAME: the passwd copy is not in force" >&2; exit 1; }
}

# A throwaway sshd on a free port of 127.0.0.1, its files in $E2E_WORK/sshd;
# the lines given are added to its configuration. Sets and exports E2E_PORT.
e2e_sshd() {
  local d=$E2E_WORK/sshd line
  mkdir -p "$d" /run/sshd
  E2E_PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  export E2E_PORT
  ssh-keygen -q -t ed25519 -N '' -f "$d/hostkey"
  {
    echo "Port $E2E_PORT"
    echo "ListenAddress 127.0.0.1"
    echo "HostKey $d/hostkey"
    echo "PidFile $d/sshd.pid"
    echo "StrictModes no"
    echo "UsePAM no"
    echo "PasswordAuthentication no"
    for line in "$@"; do echo "$line"; done
  } >"$d/sshd_config"
  /usr/sbin/sshd -f "$d/sshd_config" -E "$d/sshd.log" || { echo "$E2E_NAME: sshd did not start" >&2; exit 1; }
  for _ in $(seq 1 50); do [ -s "$d/sshd.pid" ] && break; sleep 0.1; done
  e2e_pids+=("$(cat "$d/sshd.pid")")
}

# --- on the X server (in a part) ------------------------------------------

# Starts the application with its output in $E2E_WORK/app.log, waits for its
# window and focuses it. Sets pid and wid; fails when no window shows.
e2e_start() {
  "$E2E_APP" >"$E2E_WORK/app.log" 2>&1 &
  pid=$!
  wid=$(timeout 60 xdotool search --sync --onlyvisible --pid "$pid" | tail -1)
  [ -n "$wid" ] || return 1
  xdotool windowfocus --sync "$wid" 2>/dev/null || true
}

# e2e_start, saying so when no window shows, then waits until the shell has
# started and answers a typed line (it writes E2E_READY, a short name to
# type), typed again every three seconds while it does not.
e2e_open() {
  export E2E_READY=$E2E_WORK/shell.ready
  rm -f "$E2E_READY"
  if ! e2e_start; then
    echo "$E2E_NAME: the quillmar window did not appear" >&2
    e2e_stop
    return 1
  fi
  e2e_poll 200 pgrep -P "$pid" >/dev/null
  if ! e2e_run_until 'echo>$E2E_READY' "$E2E_READY" 30; then
    echo "$E2E_NAME: the shell did not answer" >&2
    e2e_stop
    return 1
  fi
}

# After e2e_start with QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 exported: sets bus
# to the accessibility bus and peer to the application's connection on it;
# fails when either is missing.
e2e_a11y_connect() {
  bus=$(gdbus call --session --dest org.a11y.Bus --object-path /org/a11y/bus --method org.a11y.Bus.GetAddress |
    sed -n "s/^('\(.*\)',)$/\1/p")
  [ -n "$bus" ] || e2e_fail "no accessibility bus"
  peer=""
  e2e_poll 100 e2e_a11y_peer
  [ -n "$peer" ] || e2e_fail "the window is not on the accessibility bus"
}

# Sets peer to the application's connection on the accessibility bus, if it has one.
e2e_a11y_peer() {
  local name
  for name in $(gdbus call --address "$bus" --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.ListNames | grep -o "':[0-9.]*'" | tr -d "'"); do
    if [ "$(gdbus call --address "$bus" --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.GetConnectionUnixProcessID "$name" 2>/dev/null)" = "(uint32 $pid,)" ]; then
      peer=$name
      return 0
    fi
  done
  return 1
}

# gdbus on the accessibility bus to the application's object PATH; a call
# that takes more than five seconds means the window has stopped answering.
#   e2e_a11y PATH METHOD [ARG...]
e2e_a11y() {
  local path=$1 method=$2
  shift 2
  timeout 10 gdbus call --address "$bus" --dest "$peer" --object-path "$path" --timeout 5 --method "$method" "$@"
}

e2e_stop() {
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}

e2e_fail() {
  echo "$E2E_NAME: $*" >&2
  e2e_stop
  exit 1
}

# Types a command line and Return.
e2e_run() {
  xdotool type --delay 15 "$1"
  xdotool key Return
}

# Types LINE until the shell, which may still be starting, writes FILE; each
# try waits TENTHS (100) tenths of a second.
e2e_run_until() {
  for _ in $(seq 1 20); do
    e2e_run "$1"
    e2e_waitfile "$2" "${3:-100}" && return 0
  done
  return 1
}

# Waits until FILE is not empty, at most TENTHS tenths of a second.
e2e_waitfile() {
  for _ in $(seq 1 "${2:-100}"); do [ -s "$1" ] && return 0; sleep 0.1; done
  return 1
}

# Waits until COMMAND... succeeds, at most TENTHS tenths of a second.
#   e2e_poll TENTHS COMMAND...
e2e_poll() {
  local tenths=$1
  shift
  for _ in $(seq 1 "$tenths"); do "$@" && return 0; sleep 0.1; done
  return 1
}

# Whether COMMAND... fails (for e2e_poll, which takes a command).
e2e_not() { ! "$@"; }

# --- a real gnome-keyring on the test's bus ----------------------------------

# The process that owns NAME on the session bus.
e2e_bus_owner() {
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.GetConnectionUnixProcessID "$1" 2>/dev/null | grep -o '[0-9]\+' | tail -1
}
e2e_bus_owned() { [ -n "$(e2e_bus_owner "$1")" ]; }

# Starts gnome-keyring-daemon, its process in e2e_keyring: "unlocked"
# unlocks the login keyring with PASSWORD (making it on the first start),
# "locked" leaves it locked. Fails when the daemon does not take its name.
e2e_keyring=""
e2e_keyring_start() {  # unlocked|locked [PASSWORD]
  if [ "$1" = unlocked ]; then
    printf '%s' "$2" | gnome-keyring-daemon --daemonize --unlock --components=secrets >/dev/null
  else
    gnome-keyring-daemon --daemonize --components=secrets >/dev/null
  fi
  e2e_poll 100 e2e_bus_owned org.freedesktop.secrets || return 1
  e2e_keyring=$(e2e_bus_owner org.freedesktop.secrets)
}
e2e_keyring_stop() {
  kill "$e2e_keyring"
  e2e_poll 100 e2e_not e2e_bus_owned org.freedesktop.secrets
}

# The keyring's password prompt, when one shows.
e2e_prompt_window() {
  local prompter
  prompter=$(e2e_bus_owner org.gnome.keyring.SystemPrompter)
  [ -n "$prompter" ] && xdotool search --onlyvisible --pid "$prompter" 2>/dev/null | tail -1
}
e2e_prompt_open() { [ -n "$(e2e_prompt_window)" ]; }

# Stops what is left of the prompter and the keyring daemon (a trap on EXIT):
# they outlive the session bus, so they are stopped by their ids.
e2e_keyring_cleanup() {
  local prompter
  prompter=$(e2e_bus_owner org.gnome.keyring.SystemPrompter)
  [ -z "$prompter" ] || kill "$prompter"
  [ -z "$e2e_keyring" ] || kill "$e2e_keyring" 2>/dev/null
}

# Whether the name of window WID (the application's, $wid, by default)
# matches the pattern, a shell glob such as "*Local 2*".
e2e_titled() {
  # shellcheck disable=SC2053  # a pattern on purpose
  [[ "$(xdotool getwindowname "${2:-$wid}" 2>/dev/null)" == $1 ]]
}

# Whether window WID has the keyboard focus.
e2e_focused() { [ "$(xdotool getwindowfocus 2>/dev/null)" = "$1" ]; }

# Whether a process named NAME runs in one of the application's shells
# (a child of a child of $pid).
e2e_running() {
  local shell
  for shell in $(pgrep -P "$pid"); do
    pgrep -P "$shell" -x "$1" >/dev/null && return 0
  done
  return 1
}

# The columns of the terminal of process PID (its standard input), as the
# kernel has them: what a program started there now would see.
e2e_tty_cols() {
  stty -F "/proc/$1/fd/0" size 2>/dev/null | cut -d' ' -f2
}

# Takes crops GEOMETRY (WxH+X+Y of the screen) until one differs from the
# picture REF and the next one is the same: the screen has answered and
# settled. Leaves it in OUT; at most TENTHS (40) tenths of a second.
#   e2e_settled GEOMETRY REF OUT [TENTHS]
e2e_settled() {
  local geometry=$1 ref=$2 out=$3 last="" tmp
  tmp=$out.next.png
  for _ in $(seq 1 $(( ${4:-40} / 2 ))); do
    sleep 0.2
    import -window root -crop "$geometry" "$tmp" 2>/dev/null || continue
    if [ "$(compare -metric AE "$ref" "$tmp" null: 2>&1)" != 0 ]; then
      if [ -n "$last" ] && [ "$(compare -metric AE "$out" "$tmp" null: 2>&1)" = 0 ]; then
        rm -f "$tmp"
        return 0
      fi
      last=1
      mv "$tmp" "$out"
    fi
  done
  return 1
}

# Waits up to ten seconds until process PID shows COUNT windows.
e2e_windows_of() {
  local owner=$1 count=$2
  for _ in $(seq 1 100); do
    [ "$(xdotool search --onlyvisible --pid "$owner" 2>/dev/null | wc -l)" -eq "$count" ] && return 0
    sleep 0.1
  done
  return 1
}

# A Ctrl+click at screen point X Y, with Ctrl pressed before the pointer
# moves onto the spot, as a person's hand would. The X server and the
# application take the events in order, and the click carries the modifiers
# of its moment: no pause is needed between them.
e2e_ctrl_click() {
  xdotool mousemove "$1" "$2"
  xdotool keydown ctrl
  xdotool mousemove_relative 1 0
  xdotool click 1
  xdotool keyup ctrl
}

# The trust scripts' query program asks for the clipboard, which the shell
# set to e2e_trust_secret, a screen checksum and a local file as a kitty image;
# these read what came back to its OUT file (under E2E_WORK).
e2e_trust_secret=c2VjcmV0LWNsaXA=  # "secret-clip"

# The trust scripts' props: the one-pixel file in E2E_WORK/pixel, the query
# program in E2E_WORK/bin/local-query (local-query OUT FILE [LINE]: prints
# LINE when given, asks, reads the replies in raw mode until the checksum and
# the image have been answered, refused or not, and two quiet seconds have
# passed since, says it is done in OUT.done; run straight from its #! line,
# so that it has the name it is run under, as ssh), and a loopback listener
# whose port is in E2E_WORK/listen.port.
e2e_trust_kit() {
  mkdir -p "$E2E_WORK/bin"
  printf '\x10\x20\x30\xff' >"$E2E_WORK/pixel"
  cat >"$E2E_WORK/bin/local-query" <<'STANDIN'
#!/usr/bin/python3
import base64, os, re, select, sys, termios, tty
if len(sys.argv) > 3:
    print(sys.argv[3], flush=True)
old = termios.tcgetattr(0)
tty.setraw(0)
os.write(1, b"\033]52;c;?\a\033]52;p;?\a\033[1;1;1;1;1;5*y\033_Gi=31,a=t,t=f,f=32,s=1,v=1;"
         + base64.b64encode(sys.argv[2].encode()) + b"\033\\")
# The checksum and the image are always answered, however long the tab takes
# to tell; the clipboard only when allowed, by then.
answered = (re.compile(rb"\033P1!~[0-9A-Fa-f]{4}\033\\"), re.compile(rb"\033_Gi=31;[^\033]*\033\\"))
got = b""
while True:
    complete = all(r.search(got) for r in answered)
    if not select.select([0], [], [], 2 if complete else None)[0]:
        break
    data = os.read(0, 4096)
    if not data:
        break
    got += data
with open(sys.argv[1], "wb") as out:
    out.write(got)
termios.tcsetattr(0, termios.TCSADRAIN, old)
with open(sys.argv[1] + ".done", "w") as done:
    done.write("x\n")
STANDIN
  chmod 755 "$E2E_WORK/bin/local-query"
  python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(8)
print(s.getsockname()[1], flush=True); time.sleep(900)' >"$E2E_WORK/listen.port" &
  e2e_pids+=($!)
  e2e_poll 50 test -s "$E2E_WORK/listen.port" || e2e_fail "no listener"
}

# None of the three came back.
e2e_refused() {
  local got
  got=$(od -An -c "$E2E_WORK/$1" | tr -d ' \n')
  case $got in *"$e2e_trust_secret"*) e2e_fail "$1: the clipboard was read: $got" ;; esac
  case $got in *'!~0000'*) ;; *) e2e_fail "$1: a screen checksum came back: $got" ;; esac
  case $got in *'Gi=31;ENOTSUP'*) ;; *) e2e_fail "$1: a local file was loaded: $got" ;; esac
}

# All three came back.
e2e_answered() {
  local got
  got=$(od -An -c "$E2E_WORK/$1" | tr -d ' \n')
  case $got in *"52;c;$e2e_trust_secret"*) ;; *) e2e_fail "$1: no clipboard: $got" ;; esac
  case $got in *'Gi=31;OK'*) ;; *) e2e_fail "$1: the file was not loaded: $got" ;; esac
  case $got in *'!~0000'*) e2e_fail "$1: no screen checksum: $got" ;; esac
}

# Whether the process has ended (gone, or a zombie).
e2e_ended() {
  ! kill -0 "$1" 2>/dev/null || grep -q "^[0-9]* ([^)]*) Z" "/proc/$1/stat" 2>/dev/null
}

# A screenshot of the screen (or of the window E2E_SNAP_WINDOW) in
# $E2E_WORK/shot.png.
e2e_snap() {
  import -window "${E2E_SNAP_WINDOW:-root}" "$E2E_WORK/shot.png" 2>/dev/null
}

# Takes screenshots until the command given succeeds on one, at most TRIES
# (40) times a quarter of a second apart.
#   e2e_until [-n TRIES] COMMAND...
e2e_until() {
  local tries=40
  if [ "$1" = -n ]; then tries=$2; shift 2; fi
  for _ in $(seq 1 "$tries"); do
    sleep 0.25
    e2e_snap || continue
    "$@" && return 0
  done
  return 1
}

# e2e_until, then stops the application; returns whether the command
# succeeded.
e2e_check() {
  e2e_until "$@"
  local status=$?
  e2e_stop
  return $status
}

# e2e_check with the checker E2E_FINDER run on each screenshot (ARGS after
# the file); prints what it said last.
#   e2e_check_shot [ARG...]
e2e_check_shot() {
  e2e_check e2e_logged "$E2E_WORK/check.log" "$E2E_FINDER" "$E2E_WORK/shot.png" "$@"
  local status=$?
  cat "$E2E_WORK/check.log"
  return $status
}

# Runs the command with its output in LOG, written anew each time.
e2e_logged() {
  local log=$1
  shift
  "$@" >"$log" 2>&1
}

# Whether the last screenshot shows TEXT at least N times; prints where it
# first is ("x,y").
e2e_found() {
  local out
  out=$("$E2E_FINDER" "$E2E_WORK/shot.png" "$1" "$2") || return 1
  echo "$out" | head -1 | sed "s/found at //"
}

# How many times a fresh screenshot shows TEXT.
e2e_count() {
  e2e_snap
  "$E2E_FINDER" "$E2E_WORK/shot.png" "$1" 1 | grep -c "found at"
}

# Whether the last screenshot does not show TEXT (and could be read).
e2e_absent() {
  "$E2E_FINDER" "$E2E_WORK/shot.png" "$1" 1 >/dev/null 2>&1
  [ $? -eq 1 ]
}

# Pixels of COLOUR ("#RRGGBB") in the box WxH+X+Y of the last screenshot.
e2e_colour_count() {
  convert "$E2E_WORK/shot.png" -crop "$2" +repage -fill black +opaque "$1" -fill white -opaque "$1" \
    -format "%[fx:int(mean*w*h+0.5)]" info: 2>/dev/null
}

# Whether the box WxH+X+Y of the last screenshot holds more than N pixels of
# COLOUR.
#   e2e_colour_in COLOUR BOX N
e2e_colour_in() {
  [ "$(e2e_colour_count "$1" "$2")" -gt "$3" ] 2>/dev/null
}

# Waits until TEXT shows at least N times; prints where it first is.
#   e2e_await TEXT N [TRIES]
e2e_await() {
  e2e_until -n "${3:-40}" e2e_found "$1" "$2"
}

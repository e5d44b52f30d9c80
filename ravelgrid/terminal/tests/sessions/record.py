#!/usr/bin/env python3
"""Records what a full-screen program writes to an 80x24 terminal while keys
are typed into it, for the replay tests.

    record.py NAME             records NAME.out with the script below
    record.py NAME --reference  writes NAME.screen: the same bytes replayed
                                through tmux (a separate terminal), so the
                                expected screen does not come from our engine

The programs run in a scratch directory with a fixed environment, so a
recording does not depend on the machine it was made on."""
import os, pty, select, shutil, signal, subprocess, sys, tempfile, time, fcntl, termios, struct

HERE = os.path.dirname(os.path.abspath(__file__))
COLS, ROWS = 80, 24

def text_file(path, count, word):
    with open(path, "w") as f:
        for i in range(1, count + 1):
            f.write(f"{word} {i:03d}: the quick brown fox jumps over the lazy dog {i * 7 % 13}\n")

SESSIONS = {
    # vim: scrolling regions, insert and delete lines, redraws, a substitution.
    "vim-edit": dict(
        setup=lambda d: text_file(os.path.join(d, "notes.txt"), 60, "line"),
        argv=["vim", "-u", "NONE", "-i", "NONE", "-n", "-N", "notes.txt"],
        keys=["", "10j", "dd", "Oan inserted line\x1b", "\x06", "\x02", "5\x05", "3\x19",
              ":set nu\r", "gg", "yyP", "20G", "3dd", ":%s/fox/cat/g\r", "Go", "the end\x1b", "kk"],
    ),
    # less: forward and backward scrolling, a search, line numbers.
    "less-browse": dict(
        setup=lambda d: text_file(os.path.join(d, "log.txt"), 200, "entry"),
        argv=["less", "-N", "log.txt"],
        keys=["", " ", " ", "b", "jjjj", "kkkkkk", "/entry 150\r", "n", "kk", "50g", "\x02"],
    ),
}

def record(name):
    session = SESSIONS[name]
    work = tempfile.mkdtemp(prefix="rec-")
    session["setup"](work)
    env = {"TERM": "xterm-256color", "LANG": "C.UTF-8", "HOME": work, "PATH": "/usr/bin:/bin",
           "LESSHISTFILE": "-", "LESS": "", "COLUMNS": str(COLS), "LINES": str(ROWS)}
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(work)
        os.execvpe(session["argv"][0], session["argv"], env)
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", ROWS, COLS, 0, 0))
    out = bytearray()

    def drain(seconds):
        end = time.time() + seconds
        while time.time() < end:
            ready, _, _ = select.select([fd], [], [], 0.05)
            if ready:
                try:
                    out.extend(os.read(fd, 65536))
                except OSError:
                    return
    for k in session["keys"]:
        if k:
            os.write(fd, k.encode())
        drain(0.6)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    shutil.rmtree(work)
    with open(os.path.join(HERE, name + ".out"), "wb") as f:
        f.write(out)

def reference(name):
    sock = "rg-session-ref"
    conf = tempfile.NamedTemporaryFile("w", suffix=".conf", delete=False)
    conf.write("set -g status off\n")
    conf.close()
    tmux = ["tmux", "-L", sock, "-f", conf.name]
    path = os.path.join(HERE, name + ".out")
    subprocess.run(tmux + ["new-session", "-d", "-x", str(COLS), "-y", str(ROWS),
                           f"stty raw -echo -opost; cat '{path}'; sleep 60"], check=True)
    time.sleep(2)
    screen = subprocess.run(tmux + ["capture-pane", "-p"], capture_output=True, text=True, check=True).stdout
    cursor = subprocess.run(tmux + ["display", "-p", "#{cursor_x},#{cursor_y}"], capture_output=True, text=True, check=True).stdout
    subprocess.run(tmux + ["kill-server"])
    os.unlink(conf.name)
    rows = screen.split("\n")[:ROWS]
    rows += [""] * (ROWS - len(rows))
    with open(os.path.join(HERE, name + ".screen"), "w") as f:
        f.write(f"size {COLS}x{ROWS}\n")
        for r in rows:
            f.write(r.rstrip(" ") + "\n")
        f.write("cursor " + cursor.strip() + "\n")

if __name__ == "__main__":
    if "--reference" in sys.argv:
        reference(sys.argv[1])
    else:
        record(sys.argv[1])

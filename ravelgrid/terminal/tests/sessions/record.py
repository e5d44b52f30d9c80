#!/usr/bin/env python3
"""Records what a full-screen program writes to an 80x24 terminal while keys
are typed into it, for the replay tests.

    record.py NAME             records NAME.out with the script below
    record.py NAME --reference  writes NAME.screen: the same bytes replayed
                                through tmux (a separate terminal), so the
                                expected screen does not come from our engine;
                                its "attr" lines give the runs of styled cells

A key may also be ("resize", COLS, ROWS), where the window changes size, or
("screen",), where the screen is compared as well as at the end. NAME.marks
keeps them as "OFFSET resize COLSxROWS" and "OFFSET screen" lines, the
offset being the number of output bytes read before them, and NAME.screen
then holds one "at OFFSET" section per compared screen, the last "at end".

The programs run in a scratch directory with a fixed environment, so a
recording does not depend on the machine it was made on; process viewers run
in a process namespace of their own, so they show no other process. Where
tmux is not the terminal to follow, NAME.differences (written by hand) says
why and what we show instead; --reference leaves it alone."""
import os, pty, re, select, shutil, signal, subprocess, sys, tempfile, time, fcntl, termios, struct, unicodedata

HERE = os.path.dirname(os.path.abspath(__file__))
COLS, ROWS = 80, 24

def text_file(path, count, word):
    with open(path, "w") as f:
        for i in range(1, count + 1):
            f.write(f"{word} {i:03d}: the quick brown fox jumps over the lazy dog {i * 7 % 13}\n")

def c_file(path):
    with open(path, "w") as f:
        f.write("/* 日本語のコメント: wide characters, café with a combining accent, 🎉 */\n")
        f.write("#include <stdio.h>\n\n")
        for i in range(1, 30):
            f.write(f"static int step{i}(int x) {{ return x * {i} + {i * 3 % 7}; }} /* 第{i}段 — a comment long enough to wrap past the edge */\n")
        f.write("\nint main(void)\n{\n")
        for i in range(1, 30):
            f.write(f'    printf("%d 値 %s\\n", step{i}({i}), "ok");\n')
        f.write("    return 0;\n}\n")

def wide_file(path):
    with open(path, "w") as f:
        for i in range(1, 80):
            f.write(f"{i:03d} 東京 Ωμέγα 한국어 ñandú " + "界" * (i % 40) + " tail-" + "x" * (i % 50) + "\n")

def unicode_file(path):
    with open(path, "w") as f:
        f.write("界" * 45 + "\n")
        f.write("x" + "界" * 45 + "\n")
        f.write("wide 漢字 and narrow ｶﾀｶﾅ half-width, full-width ＡＢＣ\n")
        f.write("emoji 🎉🚀👍 flag 🇫🇷 keycap 1️⃣ skin 👋🏿 family 👨‍👩‍👧 heart ❤️ text ❤ end\n")
        f.write("combining: e\u0301 a\u0308\u0304 o\u0323\u0302 Hangul jamo \u1100\u1161\u11a8 Devanagari क्षि Thai ที่\n")
        f.write("zero width: a\u200bb c\u200dd soft\u00adhyphen bidi \u05e9\u05dc\u05d5\u05dd \u0645\u0631\u062d\u0628\u0627\n")
        f.write("tab\tstops\tat\teight\tcolumns\n")

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
    # vim with syntax colours, wide and combining characters, long lines
    # that wrap, split windows, list mode.
    "vim-syntax": dict(
        setup=lambda d: c_file(os.path.join(d, "prog.c")),
        argv=["vim", "-u", "NONE", "-i", "NONE", "-n", "-N", "-c", "syntax on", "-c", "set t_Co=256 number cursorline",
              "prog.c"],
        keys=["", "20j", ":vsplit\r", "\x17l", "40Gzt", "\x17h", "ofoo(\"日本\"); /* 🎉 */\x1b", ":set list\r", "\x04",
              ":split\r", "gg", "3x", "\x17j"],
    ),
    # less with wide characters, lines chopped at the edge and scrolled sideways.
    "less-wide": dict(
        setup=lambda d: wide_file(os.path.join(d, "wide.txt")),
        argv=["less", "-S", "-N", "wide.txt"],
        keys=["", " ", "\x1bOC", "\x1bOC", "\x1bOD", "/한국\r", "n", "G", "\x1bOD"],
    ),
    # top in its own process namespace: colours, highlighting, the forest
    # view, the per-CPU summary.
    "top-colour": dict(
        argv=["unshare", "--pid", "--fork", "--mount-proc", "--kill-child", "top", "-d", "100"],
        keys=["", "z", "x", "b", "V", "c", "1", "t", "m"],
    ),
    # tmux's copy mode over a long history, a second window, vim inside a pane,
    # the clock.
    "tmux-copy": dict(
        setup=lambda d: open(os.path.join(d, "tmux.conf"), "w").write(
            'set -g status-right "ravel"\nset -g default-shell /bin/sh\nset -g history-limit 500\n'),
        argv=["tmux", "-L", "rec", "-f", "tmux.conf", "new-session", "-s", "s"],
        env={"PS1": "$ ", "SHELL": "/bin/sh", "TMUX_TMPDIR": "."},
        cleanup=lambda d, env: subprocess.run(["tmux", "-L", "rec", "kill-server"], cwd=d, env=env),
        keys=["", "seq 1 200\r", "\x02[", "\x1b[5~", "kkk", "q", "\x02c", "vim -u NONE -N\r", "ihello from vim\x1b",
              "\x02%", "\x02t", "\x02o", ":q!\r", "\x02n"],
    ),
    # mcedit: syntax colours, wide characters, the menu.
    "mcedit-c": dict(
        setup=lambda d: c_file(os.path.join(d, "prog.c")),
        argv=["mcedit", "prog.c"],
        keys=["", "\x1bOB\x1bOB\x1bOB", "\x1b[6~", "typed 字 text", "\x1bOB", "\x1bOS"],
    ),
    # bash and readline on the normal screen: a coloured prompt, a command
    # line longer than the row edited in the middle, history, colour ls, a
    # progress bar drawn with carriage returns, a scroll region that keeps
    # the last row for a status line (as apt does), clearing the screen.
    "bash-readline": dict(
        setup=lambda d: [open(os.path.join(d, n), "w").close() for n in ("a.txt", "b.sh", "c.tar")] and
                        [os.chmod(os.path.join(d, "b.sh"), 0o755), os.mkdir(os.path.join(d, "sub")),
                         os.symlink("a.txt", os.path.join(d, "link"))],
        argv=["bash", "--norc", "--noprofile", "-i"],
        env={"PS1": "\\[\\e[1;32m\\]rg\\[\\e[m\\]:\\w\\$ ", "HISTFILE": "/dev/null", "COLUMNS": None, "LINES": None},
        keys=["", "echo " + "the quick brown fox " * 7 + "end", "\x01", "\x1b[C" * 10, "INSERTED ", ("screen",), "\x05", "\r",
              "\x1b[A", "\x08" * 30, ("screen",), "\r", "ls --color=always -F\r", ("screen",), "for i in 1 2 3 4 5; do printf '\\r[%-20s] %d%%' $(printf '#%.0s' $(seq $i)) $((i*20)); done; echo\r",
              "printf '\\n\\e7\\e[1;23r\\e8\\e[24;1H\\e[7m Progress: 40%% \\e[m\\e8'; seq 1 30; printf '\\e7\\e[r\\e8'\r", ("screen",),
              "printf '\\e[3A\\e[2K\\e[1;31mred\\e[m \\e[4munder\\e[m \\e[9mstrike\\e[m\\n\\n\\n'\r"],
    ),
    # Text on the normal screen: wide characters meeting the right edge,
    # emoji, combining marks, tab stops set and cleared, insert mode.
    "bash-unicode": dict(
        setup=lambda d: unicode_file(os.path.join(d, "u.txt")),
        argv=["bash", "--norc", "--noprofile", "-i"],
        env={"PS1": "$ ", "HISTFILE": "/dev/null", "COLUMNS": None, "LINES": None},
        keys=["", "cat u.txt\r", ("screen",), "clear; printf 'a\\tb\\tc\\n'; tabs 4; printf 'a\\tb\\tc\\n'; tabs -8\r",
              "printf 'abcdef\\r\\e[4h12\\e[4l\\e[2G\\e[2@\\e[3P\\n'\r", "printf '%78s界x\\n%79s界\\n' '' ''\r",
              "printf '\\e[1;31m%s\\e[m\\n' 'é́ é 🇯🇵 👍🏽 ❤️ ✔ ⚡ 🏳️‍🌈'\r"],
    ),
    # bash and vim while the window changes size: lines rewrap on the normal
    # screen, vim redraws on the alternate one.
    "bash-resize": dict(
        setup=lambda d: text_file(os.path.join(d, "notes.txt"), 40, "line"),
        argv=["bash", "--norc", "--noprofile", "-i"],
        env={"PS1": "$ ", "HISTFILE": "/dev/null", "COLUMNS": None, "LINES": None},
        keys=["", "cat notes.txt | head -12\r", ("resize", 60, 20), ("screen",), "echo narrower $COLUMNS\r",
              ("resize", 100, 30), "echo wider $COLUMNS\r", ("screen",), "vim -u NONE -i NONE -n -N notes.txt\r", "15G",
              ("resize", 70, 20), ("screen",), "dd", ("resize", 90, 26), ("screen",), ":q!\r", "echo back $COLUMNS\r"],
    ),
    # Squeezing the window to a sliver and back while vim and htop run.
    "resize-extremes": dict(
        setup=lambda d: text_file(os.path.join(d, "notes.txt"), 40, "line"),
        argv=["bash", "--norc", "--noprofile", "-i"],
        env={"PS1": "$ ", "HISTFILE": "/dev/null", "COLUMNS": None, "LINES": None},
        keys=["", "vim -u NONE -i NONE -n -N notes.txt\r", ("resize", 2, 1), ("resize", 3, 2), ("resize", 200, 60), "G",
              ("screen",), ("resize", 30, 5), ("screen",), ":q!\r", ("screen",),
              "unshare --pid --fork --mount-proc --kill-child htop -d 100\r", ("resize", 20, 3),
              ("resize", 100, 30), ("screen",), "q", ("resize", 50, 10), "echo done\r"],
    ),
    # htop in its own process namespace (only its own processes show): colour
    # meters, a tree view, sorting, the help screen.
    "htop-tree": dict(
        argv=["unshare", "--pid", "--fork", "--mount-proc", "--kill-child", "htop", "-d", "100"],
        keys=["", "t", "\x1bOB", "\x1bOB", "M", "P", "h", "\x1b"],
    ),
    # tmux as the program: a status line, a vertical and a horizontal split,
    # scrolling inside a pane's region, zooming a pane.
    "tmux-split": dict(
        setup=lambda d: open(os.path.join(d, "tmux.conf"), "w").write(
            'set -g status-right "ravel"\nset -g status-left "[s] "\nset -g default-shell /bin/sh\n'),
        argv=["tmux", "-L", "rec", "-f", "tmux.conf", "new-session", "-s", "s"],
        env={"PS1": "$ ", "SHELL": "/bin/sh", "TMUX_TMPDIR": "."},
        cleanup=lambda d, env: subprocess.run(["tmux", "-L", "rec", "kill-server"], cwd=d, env=env),
        keys=["", "echo left pane\r", "\x02%", "seq 1 40\r", "\x02\"", "printf '\\033[1;32mgreen\\033[m plain\\n'\r",
              "\x02o", "ls -a\r", "\x02z", "seq 100 130\r", "\x02z", "\x02o", "clear\r"],
    ),
    # mc: two panels drawn with line-drawing characters in colour, the menu
    # bar, a viewer.
    "mc-panels": dict(
        setup=lambda d: [text_file(os.path.join(d, f"file{i}.txt"), 30, "row") for i in range(1, 6)],
        argv=["mc", "-u", "-c"],
        keys=["", "\x1bOB", "\x1bOB", "\t", "\x1bOB", "\x1bOR", "\x1b[6~", "q", "\x1bOT", "\x1bOC", "\x1bOB"],
    ),
    # dialog: a checklist in a shadowed box, colours and line drawing.
    "dialog-checklist": dict(
        argv=["dialog", "--backtitle", "Ravelgrid", "--title", "Pick", "--checklist", "Choose some", "15", "50", "5",
              "one", "the first", "off", "two", "the second", "on", "three", "the third", "off",
              "four", "the fourth", "off", "five", "the fifth", "on"],
        keys=["", "\x1bOB", " ", "\x1bOB", "\x1bOB", " ", "\x1bOA", "\t"],
    ),
    # man through less: bold and underlined text, scrolling, a search.
    "man-ls": dict(
        argv=["man", "ls"],
        env={"MANPAGER": "less", "PAGER": "less", "LESS": None},
        keys=["", " ", "/sort\r", "n", "b", "G"],
    ),
    # nano: the title and key bars in reverse, editing, cutting and pasting,
    # scrolling, a search, the help screen.
    "nano-edit": dict(
        setup=lambda d: text_file(os.path.join(d, "notes.txt"), 60, "line"),
        argv=["nano", "--ignorercfiles", "notes.txt"],
        keys=["", "\x0b\x0b", "\x1bOB\x1bOB", "\x15", "hello nano", "\x16", "\x16", "\x17dog 12\r", "\x07", "\x1b[6~", "\x18"],
    ),
}

def record(name):
    session = SESSIONS[name]
    work = tempfile.mkdtemp(prefix="rec-")
    if "setup" in session:
        session["setup"](work)
    env = {"TERM": "xterm-256color", "LANG": "C.UTF-8", "HOME": work, "PATH": "/usr/bin:/bin",
           "LESSHISTFILE": "-", "LESS": "", "COLUMNS": str(COLS), "LINES": str(ROWS)}
    for key, value in session.get("env", {}).items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
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
    marks = []
    for k in session["keys"]:
        if k == ("screen",):
            marks.append(f"{len(out)} screen\n")
            continue
        if isinstance(k, tuple):
            marks.append(f"{len(out)} resize {k[1]}x{k[2]}\n")
            fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", k[2], k[1], 0, 0))
        elif k:
            os.write(fd, k.encode())
        drain(0.6)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    if "cleanup" in session:
        session["cleanup"](work, env)
    shutil.rmtree(work)
    with open(os.path.join(HERE, name + ".out"), "wb") as f:
        f.write(out)
    if marks:
        with open(os.path.join(HERE, name + ".marks"), "w") as f:
            f.writelines(marks)

SGR_FLAGS = {1: "bold", 2: "dim", 3: "italic", 5: "blink", 7: "inverse", 8: "hidden", 9: "strike"}
SGR_CLEAR = {22: ("bold", "dim"), 23: ("italic",), 25: ("blink",), 27: ("inverse",), 28: ("hidden",), 29: ("strike",)}

# tmux keeps line-drawing cells as the letters that chose them and marks them
# with SO/SI in capture-pane -e; these are the characters they show.
DEC_GRAPHICS = dict(zip("`abcdefghijklmnopqrstuvwxyz{|}~",
                        "◆▒␉␌␍␊°±␤␋┘┐┌└┼⎺⎻─⎼⎽├┤┴┬│≤≥π≠£·"))

def styled_rows(capture, height):
    """The (character, style) cells of each row of tmux's capture-pane -e,
    where a style is the text of an "attr" run: fg, bg, then the flags. The
    capture sets a style once and keeps it across rows."""
    fg, bg, flags, graphics = "-", "-", set(), False
    rows = []
    for line in capture.split("\n")[:height]:
        cells = []
        rows.append(cells)
        for token in re.findall(r"\x1b\[([0-9;:]*)m|(.)", line):
            if token[1] in ("\x0e", "\x0f"):
                graphics = token[1] == "\x0e"
            elif token[1]:
                c = DEC_GRAPHICS.get(token[1], token[1]) if graphics else token[1]
                if cells and unicodedata.combining(c):
                    cells[-1] = (cells[-1][0] + c, cells[-1][1])
                else:
                    cells.append((c, " ".join([fg, bg] + sorted(flags))))
            else:
                fg, bg, flags = apply_sgr(token[0], fg, bg, flags)
    return rows + [[]] * (height - len(rows))

def apply_sgr(text, fg, bg, flags):
    def colour(params, i):
        if params[i][0] == 5 and i + 1 < len(params):
            return f"p{params[i + 1][0]}", i + 2
        if params[i][0] == 2 and i + 3 < len(params):
            r, g, b = (params[i + k][0] for k in (1, 2, 3))
            return f"#{r:02x}{g:02x}{b:02x}", i + 4
        return "-", len(params)

    params = [[int(x) if x else 0 for x in p.split(":")] for p in text.split(";")]
    i = 0
    while i < len(params):
        p, sub = params[i][0], params[i][1:]
        i += 1
        if p == 0:
            fg, bg, flags = "-", "-", set()
        elif p in (4, 21, 24):
            flags = {f for f in flags if not f.startswith("ul")}
            if p == 21:
                flags.add("ul2")
            elif p == 4 and (not sub or sub[0] != 0):
                flags.add(f"ul{sub[0] if sub else 1}")
        elif p == 5 and sub:
            pass  # tmux writes overline as 5:3; not part of the comparison
        elif p in SGR_FLAGS:
            flags.add(SGR_FLAGS[p])
        elif p in SGR_CLEAR:
            flags -= set(SGR_CLEAR[p])
        elif 30 <= p <= 37 or 90 <= p <= 97:
            fg = f"p{p - 30 if p < 90 else p - 82}"
        elif 40 <= p <= 47 or 100 <= p <= 107:
            bg = f"p{p - 40 if p < 100 else p - 92}"
        elif p in (38, 48, 58):
            value, i = colour(params, i)
            if p == 38:
                fg = value
            elif p == 48:
                bg = value
        elif p == 39:
            fg = "-"
        elif p == 49:
            bg = "-"
    return fg, bg, flags

def shows_when_blank(style):
    return any(f in style.split() for f in ("inverse", "strike")) or " ul" in style

def attr_lines(rows):
    """One "attr ROW: FIRST-LAST STYLE; ..." line per row with runs of cells
    whose style is not the default; cells count as characters, so the right
    half of a wide character has none. Blanks after a row's last visible
    cell are left out: tmux keeps erased cells only where the row had text
    before, which another terminal has no reason to track."""
    lines = []
    for y, cells in enumerate(rows):
        while cells and cells[-1][0] == " " and not shows_when_blank(cells[-1][1]):
            cells = cells[:-1]
        runs, x = [], 0
        while x < len(cells):
            style = cells[x][1]
            end = x
            while end + 1 < len(cells) and cells[end + 1][1] == style:
                end += 1
            if style != "- -":
                runs.append(f"{x}-{end} {style}")
            x = end + 1
        if runs:
            lines.append(f"attr {y}: " + "; ".join(runs))
    return lines

def reference(name):
    sock = "rg-session-ref"
    conf = tempfile.NamedTemporaryFile("w", suffix=".conf", delete=False)
    conf.write("set -g status off\n")
    conf.close()
    tmux = ["tmux", "-L", sock, "-f", conf.name]
    marks = []
    if os.path.exists(os.path.join(HERE, name + ".marks")):
        for line in open(os.path.join(HERE, name + ".marks")):
            offset, what, *size = line.split()
            marks.append((int(offset), what, *(map(int, size[0].split("x")) if size else ())))
    # The bytes go in parts with a pause between them, for the window to
    # change size or the screen to be read there.
    data = open(os.path.join(HERE, name + ".out"), "rb").read()
    parts, start = [], 0
    for offset, *_ in marks:
        parts.append(data[start:offset])
        start = offset
    parts.append(data[start:])
    scratch = tempfile.mkdtemp(prefix="ref-")
    for i, part in enumerate(parts):
        with open(os.path.join(scratch, str(i)), "wb") as f:
            f.write(part)
    script = "stty raw -echo -opost; " + "; sleep 2; ".join(f"cat '{scratch}/{i}'" for i in range(len(parts))) + "; sleep 60"
    subprocess.run(tmux + ["new-session", "-d", "-x", str(COLS), "-y", str(ROWS), script], check=True)
    time.sleep(1)
    sections, height = [], ROWS

    def capture(label):
        styled = subprocess.run(tmux + ["capture-pane", "-p", "-e", "-N"], capture_output=True, text=True, check=True).stdout
        cursor = subprocess.run(tmux + ["display", "-p", "#{cursor_x},#{cursor_y}"], capture_output=True, text=True,
                                check=True).stdout
        rows = styled_rows(styled, height)
        sections.append(f"at {label}\n" + "".join("".join(c for c, _ in cells).rstrip(" ") + "\n" for cells in rows) +
                        "cursor " + cursor.strip() + "\n" + "".join(line + "\n" for line in attr_lines(rows)))

    for offset, what, *size in marks:
        if what == "resize":
            subprocess.run(tmux + ["resize-window", "-x", str(size[0]), "-y", str(size[1])], check=True)
            height = size[1]
        else:
            capture(offset)
        time.sleep(2)
    time.sleep(1)
    capture("end")
    subprocess.run(tmux + ["kill-server"])
    os.unlink(conf.name)
    shutil.rmtree(scratch)
    with open(os.path.join(HERE, name + ".screen"), "w") as f:
        f.write(f"size {COLS}x{ROWS}\n" + "".join(sections))

if __name__ == "__main__":
    if "--reference" in sys.argv:
        reference(sys.argv[1])
    else:
        record(sys.argv[1])

/* Writes one of the feed-comparison corpora to standard output:
 *   vterm_corpus ascii|sgr|unicode|cursor|region [MiB]
 * The same name and size always give the same bytes, so both terminals and
 * every run see identical input. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static unsigned long long rngState;

static unsigned rnd(unsigned n)
{
    rngState ^= rngState << 13;
    rngState ^= rngState >> 7;
    rngState ^= rngState << 17;
    return (unsigned)((rngState >> 11) % n);
}

static size_t written;

static void put(const char* s)
{
    const size_t n = strlen(s);
    fwrite(s, 1, n, stdout);
    written += n;
}

static void putf(const char* format, int a, int b)
{
    char text[64];
    snprintf(text, sizeof text, format, a, b);
    put(text);
}

static void text(int n, int first, int span)
{
    char line[256];
    for (int i = 0; i < n && i < (int)sizeof line - 1; ++i)
        line[i] = (char)(first + (int)rnd((unsigned)span));
    line[n < (int)sizeof line - 1 ? n : (int)sizeof line - 1] = 0;
    put(line);
}

/* Lines of printable ASCII scrolling through the screen. */
static void ascii(void)
{
    text(20 + (int)rnd(100), 0x20, 95);
    put("\r\n");
}

/* Words in 256-colour and 24-bit colours, some on a background. */
static void sgr(void)
{
    for (int word = 0; word < 12; ++word) {
        if (rnd(2))
            putf("\x1b[38;5;%dm", (int)rnd(256), 0);
        else {
            putf("\x1b[38;2;%d;%d", (int)rnd(256), (int)rnd(256));
            putf(";%dm", (int)rnd(256), 0);
        }
        if (rnd(3) == 0)
            putf("\x1b[48;5;%d;1m", (int)rnd(256), 0);
        text(6, 'a', 26);
        put("\x1b[0m ");
    }
    put("\r\n");
}

/* CJK, kana, hangul, emoji with variation selectors and skin tones,
 * combining marks. */
static void unicode(void)
{
    static const char* pieces[] = {"\xe4\xb8\xad",
                                   "\xe6\x96\x87",
                                   "\xe5\xad\x97",
                                   "\xe3\x81\x82",
                                   "\xed\x95\x9c",
                                   "\xf0\x9f\x98\x80",
                                   "\xf0\x9f\x9a\x80",
                                   "\xe2\x9d\xa4\xef\xb8\x8f",
                                   "\xf0\x9f\x91\x8b\xf0\x9f\x8f\xbd",
                                   "e\xcc\x81",
                                   "a\xcc\x88",
                                   "o\xcc\x83\xcc\x84",
                                   " ",
                                   "x"};
    for (int i = 0; i < 50; ++i)
        put(pieces[rnd(sizeof pieces / sizeof pieces[0])]);
    put("\r\n");
}

/* A full-screen program moving about: absolute and relative moves, with and
 * without parameters, each followed by a few characters. */
static void cursor(void)
{
    for (int k = 0; k < 16; ++k) {
        switch (rnd(10)) {
        case 0: putf("\x1b[%d;%dH", 1 + (int)rnd(40), 1 + (int)rnd(120)); break;
        case 1: putf("\x1b[%d;%df", 1 + (int)rnd(40), 1 + (int)rnd(120)); break;
        case 2: putf("\x1b[%dA", 1 + (int)rnd(8), 0); break;
        case 3: putf("\x1b[%dB", 1 + (int)rnd(8), 0); break;
        case 4: putf("\x1b[%dC", 1 + (int)rnd(20), 0); break;
        case 5: putf("\x1b[%dD", 1 + (int)rnd(20), 0); break;
        case 6: putf("\x1b[%dG", 1 + (int)rnd(120), 0); break;
        case 7: putf("\x1b[%dd", 1 + (int)rnd(40), 0); break;
        case 8: put(rnd(2) ? "\x1b[A" : "\x1b[C"); break;
        default: put("\x1b[H"); break;
        }
        text(1 + (int)rnd(4), 0x21, 94);
    }
}

/* Inserting and deleting lines in a 10-row region in the middle of the
 * screen, and line feeds at its bottom, each followed by a line of text. */
static void region(void)
{
    putf("\x1b[11;20r\x1b[%d;1H\x1b[L", 11 + (int)rnd(10), 0);
    text(100, 0x20, 95);
    putf("\x1b[%d;1H\x1b[M", 11 + (int)rnd(10), 0);
    text(100, 0x20, 95);
    put("\x1b[20;1H\r\n");
    text(100, 0x20, 95);
}

int main(int argc, char** argv)
{
    static const struct {
        const char* name;
        void (*piece)(void);
        unsigned long long seed;
    } corpora[] = {
        {"ascii", ascii, 1}, {"sgr", sgr, 2}, {"unicode", unicode, 3}, {"cursor", cursor, 4}, {"region", region, 5}};
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: vterm_corpus ascii|sgr|unicode|cursor|region [MiB]\n");
        return 2;
    }
    const long mib = argc == 3 ? strtol(argv[2], NULL, 10) : 16;
    if (mib < 1 || mib > 1024) {
        fprintf(stderr, "vterm_corpus: size must be 1 to 1024 MiB\n");
        return 2;
    }
    for (size_t i = 0; i < sizeof corpora / sizeof corpora[0]; ++i) {
        if (strcmp(argv[1], corpora[i].name) != 0)
            continue;
        rngState = 0x9E3779B97F4A7C15ull * corpora[i].seed;
        const size_t limit = (size_t)mib << 20;
        while (written < limit)
            corpora[i].piece();
        return fflush(stdout) == 0 ? 0 : 1;
    }
    fprintf(stderr, "vterm_corpus: unknown corpus %s\n", argv[1]);
    return 2;
}

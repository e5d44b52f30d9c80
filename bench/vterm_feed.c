/* Feeds a file to libvterm's screen at COLSxROWS in 64 KiB writes, as rgdump
 * --chunk 65536 feeds ours, and prints the cursor so that the work is used:
 *   vterm_feed COLS ROWS FILE */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <vterm.h>

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: vterm_feed COLS ROWS FILE\n");
        return 2;
    }
    const int cols = atoi(argv[1]);
    const int rows = atoi(argv[2]);
    if (cols < 1 || cols > 4096 || rows < 1 || rows > 2048) {
        fprintf(stderr, "vterm_feed: bad size\n");
        return 2;
    }
    const int fd = open(argv[3], O_RDONLY);
    if (fd < 0) {
        perror(argv[3]);
        return 1;
    }
    VTerm* vt = vterm_new(rows, cols);
    vterm_set_utf8(vt, 1);
    VTermScreen* screen = vterm_obtain_screen(vt);
    vterm_screen_reset(screen, 1);

    static char chunk[64 << 10];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        vterm_input_write(vt, chunk, (size_t)n);
        char discard[256];
        while (vterm_output_read(vt, discard, sizeof discard) > 0) {
        }
    }
    close(fd);

    VTermPos pos;
    vterm_state_get_cursorpos(vterm_obtain_state(vt), &pos);
    printf("cursor %d,%d\n", pos.col, pos.row);
    vterm_free(vt);
    return 0;
}

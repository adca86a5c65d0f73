// ledit_term: terminal output (colours, cursor movement), the window size,
// screen clearing and the pager of listings.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "libledit/ledit_imp.h"
#include "libpal/os/posix/os_process.h"

// The pager's question, erased after the answer.
static const char k_page_prompt[] = "*** Press <Space> or <Enter> to continue . . .";
static_assert(sizeof(k_page_prompt) - 1 == 46);

bool ledit_stdout_tty(void) { return isatty(STDOUT_FILENO) != 0; }

void ledit_color_text(uint32_t color, char *out, size_t size)
{
    out[0] = '\0';
    if (!ledit_stdout_tty())
        return;
    size_t n = (size_t)snprintf(out, size, "\033[m");
    unsigned fg = color & 0x7f, bg = (color >> 8) & 0x7f;
    if (fg && n < size)
        n += (size_t)snprintf(out + n, size - n, "\033[%um", 29 + fg + ((color & LEDIT_COLOR_BRIGHT) ? 60 : 0));
    if (bg && n < size)
        n += (size_t)snprintf(out + n, size - n, "\033[%um",
                              39 + bg + ((color & LEDIT_COLOR_BG_BRIGHT) ? 60 : 0));
    if ((color & LEDIT_COLOR_UNDERLINE) && n < size)
        snprintf(out + n, size - n, "\033[4m");
}

void ledit_color_set(uint32_t color)
{
    char text[64];
    ledit_color_text(color, text, sizeof(text));
    ledit_puts(text);
}

void ledit_color_reset(void)
{
    if (ledit_stdout_tty())
        ledit_puts("\033[m");
}

void ledit_puts(const char *text) { fputs(text, stdout); }
void ledit_putn(const char *text, size_t n) { fwrite(text, 1, n, stdout); }
void ledit_putc(char c) { fputc(c, stdout); }
void ledit_newline(void) { ledit_puts(" \b\n"); }

void ledit_cursor_move(int rows, int cols)
{
    if (rows > 0)
        printf("\033[%dB", rows);
    else if (rows < 0)
        printf("\033[%dA", -rows);
    if (cols > 0)
        printf("\033[%dC", cols);
    else if (cols < 0)
        printf("\033[%dD", -cols);
}

int ledit_cursor_get(int *row, int *col)
{
    ledit_puts("\033[6n");
    char answer[32];
    int n = 0;
    for (;;) {
        int c = ledit_read_byte();
        if (c == -2)
            continue;
        if (c < 0)
            return -1;
        if (n < (int)sizeof(answer) - 1)
            answer[n++] = (char)c;
        if (c == 'R' || n >= (int)sizeof(answer) - 1)
            break;
    }
    answer[n] = '\0';
    int r, cl;
    if (sscanf(answer, "\033[%d;%dR", &r, &cl) != 2 || r < 1 || cl < 1)
        return -1;
    *row = r - 1;
    *col = cl - 1;
    return 0;
}

void ledit_cursor_set(int row, int col) { printf("\033[%d;%dH", row + 1, col + 1); }

void ledit_cursor_show(bool show) { printf("\033[?25%c", show ? 'h' : 'l'); }

void ledit_window_size(void)
{
    struct winsize ws;
    memset(&ws, 0, sizeof(ws));
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0)
        memset(&ws, 0, sizeof(ws));
    g_ledit.cols = ws.ws_col < 2 ? LEDIT_DEFAULT_COLS : ws.ws_col;
    g_ledit.rows = ws.ws_row < 2 ? LEDIT_DEFAULT_ROWS : ws.ws_row;
}

void ledit_screen_clear(void)
{
    fflush(stdout);
    os_system("clear", 0);
}

void ledit_sigwinch_handler(int sig)
{
    (void)sig;
    g_ledit.resized = 1;
}

// ---- pager ------------------------------------------------------------------------------

void ledit_paging_reset(void)
{
    if (g_ledit.paging_lines > 0)
        g_ledit.paging_lines = 0;
}

int ledit_paging_check(int len)
{
    if (g_ledit.paging_lines < 0)
        return 1;
    if (g_ledit.cols <= 0)
        ledit_window_size();
    int w = g_ledit.cols;
    // A listing line takes at least one row, however short it is.
    int used = len > 0 ? (len + w - 1) / w : 1;
    g_ledit.paging_lines += used;
    if (g_ledit.paging_lines < g_ledit.rows - 1)
        return 1;
    g_ledit.paging_lines = 0;
    if (!isatty(STDIN_FILENO) || !ledit_stdout_tty())
        return 1;
    ledit_puts(k_page_prompt);
    ledit_key_t k;
    do
        k = ledit_read_key();
    while (!k.eof && k.code == 0);
    constexpr int n = sizeof(k_page_prompt) - 1;
    char erase[3 * n + 1];
    memset(erase, '\b', n);
    memset(erase + n, ' ', n);
    memset(erase + 2 * n, '\b', n);
    erase[3 * n] = '\0';
    ledit_puts(erase);
    fflush(stdout);
    if (k.eof)
        return 0;
    return k.code == ' ' || k.code == '\r' || k.code == '\n';
}

int ledit_list_line(const char *text, int counted_len)
{
    ledit_puts(text);
    ledit_putc('\n');
    return ledit_paging_check(counted_len);
}

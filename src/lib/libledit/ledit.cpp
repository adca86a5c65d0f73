// ledit: public entry points, the plain-line fallback, completion lists and
// the history ring.
#include "libledit/ledit.h"

#include <strings.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libledit/ledit_imp.h"

ledit_state_t g_ledit = {
    nullptr, 0, 0, 0, 0, 0,
    " !\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~", {0}, {{0}}, 0,
};

// ---- reading a line ---------------------------------------------------------------

// True when the editor can drive the terminal: stdin is one and TERM is
// unset or not one of the plain types.
static bool ledit_term_capable(void)
{
    if (!isatty(STDIN_FILENO))
        return false;
    const char *term = getenv("TERM");
    if (!term)
        return true;
    static const char *const plain[] = {"dumb", "cons25", "emacs"};
    for (const char *p : plain)
        if (strcasecmp(term, p) == 0)
            return false;
    return true;
}

// Standard input read in blocks for the plain lines; what follows a line
// stays here for the next one.
namespace {
struct plain_input {
    char buf[4096];
    size_t pos, len;
};
plain_input s_plain;

// One more block of standard input: 1, 0 at its end, -1 on a failure
// (errno set), LEDIT_READ_STOP after ledit_interrupt.
int plain_fill(void)
{
    ledit_reading(true);
    int r;
    for (;;) {
        const int w = ledit_wait_input();
        if (w == -2)
            continue; // a signal: the wait looks at the stop request again
        if (w != 0) {
            r = w;
            break;
        }
        const ssize_t n = read(STDIN_FILENO, s_plain.buf, sizeof(s_plain.buf));
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n > 0) {
            s_plain.pos = 0;
            s_plain.len = (size_t)n;
        }
        r = n > 0 ? 1 : n == 0 ? 0 : -1;
        break;
    }
    const int e = errno;
    ledit_reading(false);
    errno = e;
    return r;
}
} // namespace

// Reads one plain line; trailing '\n' and '\r' removed. A line longer than
// size - 1 bytes is cut there and the rest of it dropped up to its newline,
// so that no tail of it is taken for a line of its own. NULL with errno 0
// at end of input, EINTR after ledit_interrupt, or the errno of a read
// failure.
static char *ledit_plain_line(char *buf, int size)
{
    int n = 0;
    bool any = false;
    for (;;) {
        if (s_plain.pos == s_plain.len) {
            const int r = plain_fill();
            if (r == 0 && any)
                break; // a last line without its newline
            if (r <= 0) {
                const int e = r == LEDIT_READ_STOP ? EINTR : r == 0 ? 0 : errno;
                buf[0] = '\0';
                errno = e;
                return nullptr;
            }
        }
        const char c = s_plain.buf[s_plain.pos++];
        any = true;
        if (c == '\n')
            break;
        if (n < size - 1)
            buf[n++] = c;
    }
    buf[n] = '\0';
    while (n > 0 && buf[n - 1] == '\r')
        buf[--n] = '\0';
    return buf;
}

char *ledit_readline_imp(const char *prompt, char *buf, int size, int has_input)
{
    if (!buf || size < 2) {
        errno = EINVAL;
        return nullptr;
    }
    if (ledit_term_capable())
        return ledit_edit(buf, size, prompt, has_input, 0);
    return ledit_plain_line(buf, size);
}

char *ledit_readline(const char *prompt, char *buf, int size)
{
    return ledit_readline_imp(prompt, buf, size, 0);
}

char *ledit_readline_edit(const char *prompt, char *buf, int size)
{
    return ledit_readline_imp(prompt, buf, size, 1);
}

// ---- settings ------------------------------------------------------------------------

void ledit_set_complete_hook(ledit_complete_hook_t hook) { g_ledit.hook = hook; }

void ledit_prompt_color_set(uint32_t color) { g_ledit.prompt_color = color; }

int ledit_paging_set(int on)
{
    int was = g_ledit.paging_lines >= 0;
    g_ledit.paging_lines = on ? 0 : -1;
    return was;
}

void ledit_delimiter_set(const char *text)
{
    if (!text)
        return;
    snprintf(g_ledit.delims, sizeof(g_ledit.delims), "%s", text);
}

// ---- completion list -------------------------------------------------------------------

int ledit_completion_add_color(ledit_completions *list, const char *word, uint32_t word_color,
                               const char *help, uint32_t help_color)
{
    if (!list || !word || list->count < 0 || list->count >= LEDIT_MAX_COMPLETIONS)
        return -1;
    int i = list->count++;
    snprintf(list->words[i], LEDIT_WORD_SIZE, "%s", word);
    snprintf(list->helps[i], LEDIT_HELP_SIZE, "%s", help ? help : "");
    list->word_colors[i] = word_color;
    list->help_colors[i] = help_color;
    return 0;
}

int ledit_completion_add(ledit_completions *list, const char *word, const char *help)
{
    return ledit_completion_add_color(list, word, 0, help, 0);
}

void ledit_hint_set_color(ledit_completions *list, const char *hint, uint32_t color)
{
    if (!list)
        return;
    snprintf(list->hint, LEDIT_HINT_SIZE, "%s", hint ? hint : "");
    list->hint_color = color;
}

void ledit_hint_set(ledit_completions *list, const char *hint) { ledit_hint_set_color(list, hint, 0); }

// ---- history ---------------------------------------------------------------------------

uint32_t ledit_history_first(void)
{
    return g_ledit.hist_count > LEDIT_HIST_LINES ? g_ledit.hist_count - LEDIT_HIST_LINES : 0;
}

const char *ledit_history_get(uint32_t n)
{
    if (n >= g_ledit.hist_count || n < ledit_history_first())
        return nullptr;
    const char *line = g_ledit.hist[n % LEDIT_HIST_LINES];
    return line[0] ? line : nullptr;
}

void ledit_history_append(const char *line)
{
    char *slot = g_ledit.hist[g_ledit.hist_count % LEDIT_HIST_LINES];
    snprintf(slot, LEDIT_LINE_SIZE, "%s", line);
    g_ledit.hist_count++;
}

void ledit_history_add(const char *line)
{
    if (!line[0] || strcmp(line, "history") == 0)
        return;
    if (g_ledit.hist_count > 0) {
        const char *newest = g_ledit.hist[(g_ledit.hist_count - 1) % LEDIT_HIST_LINES];
        if (strncmp(newest, line, LEDIT_LINE_SIZE) == 0)
            return;
    }
    ledit_history_append(line);
}

void ledit_history_show(void)
{
    int no = 0;
    char text[LEDIT_LINE_SIZE + 16];
    for (uint32_t n = ledit_history_first(); n < g_ledit.hist_count; n++) {
        const char *line = ledit_history_get(n);
        if (!line)
            continue;
        snprintf(text, sizeof(text), "%4d  %s", ++no, line);
        if (!ledit_list_line(text, (int)strlen(line) + 7))
            break;
    }
    fflush(stdout);
}

int ledit_history_save(const char *path)
{
    FILE *f = path ? fopen(path, "wt") : nullptr;
    if (!f)
        return -1;
    for (uint32_t n = ledit_history_first(); n < g_ledit.hist_count; n++) {
        const char *line = ledit_history_get(n);
        if (line)
            fprintf(f, "%s\n", line);
    }
    bool ok = !ferror(f);
    if (fclose(f) != 0 || !ok)
        return -1;
    return 0;
}

int ledit_history_load(const char *path)
{
    FILE *f = path ? fopen(path, "rt") : nullptr;
    if (!f)
        return -1;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&line, &cap, f)) >= 0) {
        while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r'))
            line[--n] = '\0';
        if (n > 0)
            ledit_history_append(line);
    }
    free(line);
    fclose(f);
    return 0;
}

void ledit_history_clear(void)
{
    memset(g_ledit.hist, 0, sizeof(g_ledit.hist));
    g_ledit.hist_count = 0;
}

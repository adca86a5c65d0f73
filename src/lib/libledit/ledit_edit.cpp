// ledit_edit: the interactive editor: key actions, the redraw of lines that
// wrap across screen rows, completion, history browsing and search.
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "libledit/ledit_imp.h"

namespace {

enum : uint32_t {
    K_CTRL_A = 1, K_CTRL_B = 2, K_CTRL_C = 3, K_CTRL_D = 4, K_CTRL_E = 5, K_CTRL_F = 6,
    K_CTRL_G = 7, K_TAB = 9, K_CTRL_J = 10, K_CTRL_K = 11, K_CTRL_L = 12, K_CTRL_M = 13,
    K_CTRL_N = 14, K_CTRL_P = 16, K_CTRL_R = 18, K_CTRL_S = 19, K_CTRL_T = 20, K_CTRL_U = 21,
    K_CTRL_V = 22, K_CTRL_W = 23, K_CTRL_X = 24, K_CTRL_Y = 25, K_CTRL_Z = 26,
    K_CTRL_CARET = 30, K_CTRL_UNDERSCORE = 31,
};

constexpr uint32_t alt(char c) { return LK_ALT + (uint8_t)c; }

// Alt-letter keys come as ESC and the letter in either case.
bool is_alt(uint32_t code, char lower)
{
    return code == alt(lower) || code == alt((char)toupper((unsigned char)lower));
}

const char k_search_prompt[] = "Input Patterns <F1> help: ";
const char k_id_prompt[] = "Input history id: ";

// Restores the previous SIGWINCH disposition when the edit ends.
struct winch_guard {
    struct sigaction old;
    winch_guard()
    {
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = ledit_sigwinch_handler;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGWINCH, &sa, &old);
    }
    ~winch_guard() { sigaction(SIGWINCH, &old, nullptr); }
    winch_guard(const winch_guard &) = delete;
    winch_guard &operator=(const winch_guard &) = delete;
};

bool is_delim(char c) { return c && strchr(g_ledit.delims, c) != nullptr; }
bool is_blank(char c) { return c == ' ' || c == '\t'; }

// ---- UTF-8: the text is kept as bytes; the cursor stands between whole
// characters, and the screen shows each in the columns it takes.
bool is_cont(char c) { return ((unsigned char)c & 0xC0) == 0x80; }

// Bytes of the sequence a lead byte starts: 2 to 4, or 1 for an ASCII byte
// or a byte that starts none.
int seq_len(unsigned char c)
{
    if (c >= 0xC2 && c <= 0xDF)
        return 2;
    if (c >= 0xE0 && c <= 0xEF)
        return 3;
    if (c >= 0xF0 && c <= 0xF4)
        return 4;
    return 1;
}

// The code point of the n-byte sequence at s, or -1 when it is no valid
// UTF-8 (a wrong continuation, an overlong form, a surrogate, above U+10FFFF).
int32_t utf8_decode(const unsigned char *s, int n)
{
    static const int32_t min_of[] = {0, 0, 0x80, 0x800, 0x10000};
    if (n < 2 || n > 4)
        return -1;
    int32_t cp = s[0] & (0x7F >> n);
    for (int i = 1; i < n; i++) {
        if ((s[i] & 0xC0) != 0x80)
            return -1;
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    if (cp < min_of[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return -1;
    return cp;
}

// Columns a character takes: 0 for combining marks, 2 for the wide
// (East Asian) ranges, else 1.
int cp_width(int32_t cp)
{
    struct range {
        int32_t lo, hi;
    };
    static constexpr range k_zero[] = {
        {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A}, {0x064B, 0x065F},
        {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F},
        {0xFE20, 0xFE2F},
    };
    static constexpr range k_wide[] = {
        {0x1100, 0x115F}, {0x2E80, 0x303E}, {0x3041, 0x33FF}, {0x3400, 0x4DBF}, {0x4E00, 0x9FFF},
        {0xA000, 0xA4CF}, {0xAC00, 0xD7A3}, {0xF900, 0xFAFF}, {0xFE30, 0xFE4F}, {0xFF00, 0xFF60},
        {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD},
    };
    for (const range &r : k_zero)
        if (cp >= r.lo && cp <= r.hi)
            return 0;
    for (const range &r : k_wide)
        if (cp >= r.lo && cp <= r.hi)
            return 2;
    return 1;
}

// Screen columns of the n bytes at s (a byte that is no valid sequence
// counts as one column, as the terminal shows a replacement for it).
int text_cols(const char *s, int n)
{
    int cols = 0;
    for (int i = 0; i < n;) {
        const unsigned char c = (unsigned char)s[i];
        const int k = seq_len(c);
        const int32_t cp = k > 1 && i + k <= n ? utf8_decode((const unsigned char *)s + i, k) : -1;
        if (cp >= 0) {
            cols += cp_width(cp);
            i += k;
        } else {
            cols += 1;
            i += 1;
        }
    }
    return cols;
}

// The longest head of text that fits max bytes without cutting a character.
int fit_len(const char *text, int max)
{
    int n = (int)strnlen(text, (size_t)max + 1);
    if (n <= max)
        return n;
    n = max;
    while (n > 0 && is_cont(text[n]))
        n--;
    return n;
}

struct editor {
    char *buf;
    int size;       // buf's size; at most size - 1 characters
    const char *prompt;
    int plen;       // the prompt's columns
    int pos = 0;    // cursor, a byte offset between characters
    int len = 0;    // bytes of text
    int pos_c = 0;  // screen offsets (prompt included) of the cursor and the
    int len_c = 0;  // end as the screen shows them now
    bool search;
    uint32_t hist_pos;  // history line shown; hist_count = the line being typed
    std::string typed;  // the line being typed, kept while browsing history

    int width() const { return g_ledit.cols > 0 ? g_ledit.cols : LEDIT_DEFAULT_COLS; }
    int row_of(int off) const { return off / width(); }
    // Screen offset of text position i, as the text stands now.
    int off(int i) const { return plen + text_cols(buf, i); }
    int next_pos(int i) const
    {
        if (i < len)
            i++;
        while (i < len && is_cont(buf[i]))
            i++;
        return i;
    }
    int prev_pos(int i) const
    {
        if (i > 0)
            i--;
        while (i > 0 && is_cont(buf[i]))
            i--;
        return i;
    }
    // The last text position whose screen offset is at most target.
    int pos_at_offset(int target) const
    {
        int i = 0, c = plen;
        while (i < len) {
            const int j = next_pos(i);
            const int cw = text_cols(buf + i, j - i);
            if (c + cw > target)
                break;
            c += cw;
            i = j;
        }
        return i;
    }

    // Moves the cursor and rewrites the text as described by mode: 0 only
    // moves, 1 rewrites prompt and text, k >= 2 rewrites from position k - 1
    // (where the cursor stands).
    void redraw(int new_pos, int new_len, int mode)
    {
        assert(new_pos >= 0 && new_pos <= new_len && new_len < size);
        if (mode >= 1 || g_ledit.cols <= 0)
            ledit_window_size();
        int w = width();
        // Old places are where the screen shows them; new ones are counted
        // on the text as it stands now.
        const int np = off(new_pos);
        if (mode == 0) {
            ledit_cursor_move(row_of(np) - row_of(pos_c), np % w - pos_c % w);
            pos = new_pos;
            pos_c = np;
            return;
        }
        buf[new_len] = '\0';
        const int nl = off(new_len);
        if (mode == 1) {
            ledit_cursor_move(-row_of(pos_c), 0);
            ledit_putc('\r');
            ledit_color_set(g_ledit.prompt_color);
            ledit_puts(prompt);
            ledit_color_reset();
            ledit_putn(buf, (size_t)new_len);
        } else {
            int from = mode - 1;
            assert(from <= new_len);
            ledit_putn(buf + from, (size_t)(new_len - from));
        }
        // Text written up to a row's last column leaves the cursor there;
        // a line feed takes it to the next row, where the model has it. When
        // nothing was written (a cut at the very end) it already stands there.
        bool wrote = mode == 1 ? nl > 0 : mode - 1 < new_len;
        if (wrote && nl % w == 0)
            ledit_putc('\n');
        int end_row = row_of(nl);
        if (len_c > nl) {
            for (int i = nl; i < len_c; i++)
                ledit_putc(' ');
            if (len_c % w == 0)
                ledit_putc('\n');
            end_row = row_of(len_c);
        }
        if (row_of(nl) < end_row)
            ledit_cursor_move(row_of(nl) - end_row, 0);
        ledit_putc('\r');
        ledit_cursor_move(row_of(np) - row_of(nl), np % w);
        pos = new_pos;
        len = new_len;
        pos_c = np;
        len_c = nl;
    }

    // The text changed from position `from` on: rewrite from there.
    void changed_from(int from, int new_pos, int new_len)
    {
        if (from != pos)
            redraw(from, len, 0);
        redraw(new_pos, new_len, from + 1);
    }

    // A fresh prompt line (after a listing): prompt and text again.
    void fresh_line(int new_pos)
    {
        int n = (int)strlen(buf);
        pos = 0;
        len = 0;
        pos_c = len_c = plen;
        redraw(new_pos < 0 ? n : new_pos, n, 1);
    }

    // Replaces the whole text (cut to fit), cursor at its end.
    void set_text(const char *text)
    {
        int n = fit_len(text, size - 1);
        memmove(buf, text, (size_t)n);
        buf[n] = '\0';
        redraw(n, n, 1);
    }

    void insert(const char *text, int n)
    {
        if (n <= 0 || len + n > size - 1)
            return;
        memmove(buf + pos + n, buf + pos, (size_t)(len - pos));
        memcpy(buf + pos, text, (size_t)n);
        changed_from(pos, pos + n, len + n);
    }

    // Removes [from, to) and leaves the cursor at from; cut keeps the text.
    void remove(int from, int to, bool cut)
    {
        if (from >= to)
            return;
        if (cut) {
            memcpy(g_ledit.cut, buf + from, (size_t)(to - from));
            g_ledit.cut[to - from] = '\0';
        }
        int old = len;
        memmove(buf + from, buf + to, (size_t)(old - to));
        buf[old - (to - from)] = '\0';
        // The redraw clears the old tail; buf keeps the old length meanwhile.
        changed_from(from, from, old - (to - from));
    }

    int word_start_before(int i) const
    {
        while (i > 0 && is_delim(buf[i - 1]))
            i--;
        while (i > 0 && !is_delim(buf[i - 1]))
            i--;
        return i;
    }

    int word_end_after(int i) const
    {
        while (i < len && is_delim(buf[i]))
            i++;
        while (i < len && !is_delim(buf[i]))
            i++;
        return i;
    }

    // Alt-U / Alt-L / Alt-C on the word at or after the cursor.
    void change_case(char how)
    {
        int i = pos;
        while (i < len && is_delim(buf[i]))
            i++;
        int start = i;
        for (; i < len && !is_delim(buf[i]); i++) {
            unsigned char c = (unsigned char)buf[i];
            if (how == 'u' || (how == 'c' && i == start))
                buf[i] = (char)toupper(c);
            else if (how == 'l')
                buf[i] = (char)tolower(c);
        }
        changed_from(pos, i, len);
    }

    // Exchanges the characters [a, b) and [b, e).
    void swap_chars(int a, int b, int e) { std::rotate(buf + a, buf + b, buf + e); }

    void transpose()
    {
        if (pos == 0)
            return;
        const int before = prev_pos(pos);
        if (pos < len && !is_delim(buf[pos]) && !is_delim(buf[before])) {
            const int after = next_pos(pos);
            swap_chars(before, pos, after);
            changed_from(before, after, len);
            return;
        }
        if (before == 0)
            return;
        const int first = prev_pos(before);
        if (is_delim(buf[before]) || is_delim(buf[first]))
            return;
        swap_chars(first, before, pos);
        changed_from(first, pos, len);
    }

    void delete_blanks_around()
    {
        int from = pos, to = pos;
        while (from > 0 && is_blank(buf[from - 1]))
            from--;
        while (to < len && is_blank(buf[to]))
            to++;
        remove(from, to, false);
    }

    // ---- rows of a wrapped line ----
    bool row_up()
    {
        int w = width();
        if (row_of(pos_c) == 0)
            return false;
        const int target = pos_c - w;
        redraw(target < plen ? 0 : pos_at_offset(target), len, 0);
        return true;
    }

    bool row_down()
    {
        int w = width();
        if (row_of(pos_c) >= row_of(len_c))
            return false;
        const int target = pos_c + w;
        redraw(target >= len_c ? len : pos_at_offset(target), len, 0);
        return true;
    }

    // A character that began with lead byte c: its other bytes are read and
    // the whole of it inserted; an invalid sequence is dropped.
    void insert_utf8(unsigned char c)
    {
        unsigned char seq[4] = {c, 0, 0, 0};
        const int n = seq_len(c);
        for (int i = 1; i < n; i++) {
            int b;
            do
                b = ledit_read_byte();
            while (b == -2);
            if (b < 0)
                return; // the end of input shows at the next key
            seq[i] = (unsigned char)b;
            if (!is_cont((char)b))
                return;
        }
        if (utf8_decode(seq, n) >= 0)
            insert((const char *)seq, n);
    }

    // ---- history ----
    void history_go(uint32_t target)
    {
        uint32_t count = g_ledit.hist_count;
        if (hist_pos > count)
            hist_pos = count;
        if (target == hist_pos)
            return;
        if (hist_pos == count)
            typed.assign(buf, (size_t)len);
        hist_pos = target;
        if (target == count)
            set_text(typed.c_str());
        else
            set_text(ledit_history_get(target));
    }

    void history_prev()
    {
        uint32_t count = g_ledit.hist_count;
        if (hist_pos > count)
            hist_pos = count;
        if (hist_pos == 0 || hist_pos <= ledit_history_first() || !ledit_history_get(hist_pos - 1))
            return;
        history_go(hist_pos - 1);
    }

    void history_next()
    {
        if (hist_pos >= g_ledit.hist_count)
            return;
        history_go(hist_pos + 1);
    }

    void history_oldest()
    {
        uint32_t n = ledit_history_first();
        while (n < g_ledit.hist_count && !ledit_history_get(n))
            n++;
        if (n < g_ledit.hist_count)
            history_go(n);
    }

    void complete(bool list_only);
    void search_history(bool from_line);
    void debug_keys();
    void clear_history();
};

void editor::complete(bool list_only)
{
    if (!g_ledit.hook || pos != len)
        return;
    buf[len] = '\0';
    auto list = std::make_unique<ledit_completions>();
    memset(list.get(), 0, sizeof(*list));
    g_ledit.hook(buf, list.get());
    int count = list->count;
    if (count < 0)
        count = 0;
    if (count > LEDIT_MAX_COMPLETIONS)
        count = LEDIT_MAX_COMPLETIONS;
    if (!list_only && count >= 1) {
        int lp = (int)strlen(list->words[0]);
        for (int i = 1; i < count; i++) {
            int j = 0;
            while (j < lp && list->words[i][j] && tolower((unsigned char)list->words[i][j]) ==
                                                      tolower((unsigned char)list->words[0][j]))
                j++;
            lp = j;
        }
        const char *prefix = list->words[0];
        int tail = lp < len ? lp : len;
        while (tail > 0 && (strncasecmp(buf + len - tail, prefix, (size_t)tail) != 0 || is_cont(buf[len - tail])))
            tail--;
        if ((len - tail) + lp + 1 < size) {
            int start = len - tail;
            memcpy(buf + start, prefix, (size_t)lp);
            int nl = start + lp;
            if (count == 1)
                buf[nl++] = ' ';
            buf[nl] = '\0';
            if (start < pos)
                redraw(start, len, 0);
            redraw(nl, nl, start + 1);
        }
        if (count == 1)
            return;
    }
    ledit_newline();
    ledit_paging_reset();
    if (list->hint[0]) {
        ledit_puts("Please input: ");
        ledit_color_set(list->hint_color);
        ledit_puts(list->hint);
        ledit_color_reset();
        ledit_putc('\n');
    }
    if (count > 0) {
        int longest = 0;
        bool helps = false;
        for (int i = 0; i < count; i++) {
            int n = (int)strlen(list->words[i]);
            longest = n > longest ? n : longest;
            helps = helps || list->helps[i][0];
        }
        int cell = longest + 4;
        if (helps) {
            for (int i = 0; i < count; i++) {
                ledit_color_set(list->word_colors[i]);
                printf("%-*s", cell, list->words[i]);
                ledit_color_set(list->help_colors[i]);
                ledit_puts(list->helps[i]);
                ledit_color_reset();
                if (!ledit_list_line("", cell + (int)strlen(list->helps[i])))
                    break;
            }
        } else {
            if (g_ledit.cols <= 0)
                ledit_window_size();
            int per_row = (width() - 1 - longest) / cell + 1;
            if (per_row < 1)
                per_row = 1;
            for (int i = 0; i < count; i++) {
                ledit_color_set(list->word_colors[i]);
                ledit_puts(list->words[i]);
                ledit_color_reset();
                printf("%*s", cell - (int)strlen(list->words[i]), "");
                bool row_end = (i + 1) % per_row == 0 || i + 1 == count;
                if (row_end && !ledit_list_line("", per_row * cell))
                    break;
            }
        }
    }
    fresh_line(-1);
}

// Splits the patterns: up to 16, blank-separated, "quoted phrases" as one,
// a leading '-' excluding. All in lower case.
void split_patterns(const char *text, std::vector<std::string> &inc, std::vector<std::string> &exc)
{
    const char *s = text;
    int n = 0;
    while (*s && n < LEDIT_MAX_PATTERNS) {
        while (is_blank(*s))
            s++;
        if (!*s)
            break;
        bool minus = false;
        if (*s == '-') {
            minus = true;
            s++;
        }
        std::string pat;
        if (*s == '"') {
            s++;
            while (*s && *s != '"')
                pat += (char)tolower((unsigned char)*s++);
            if (*s == '"')
                s++;
        } else {
            while (*s && !is_blank(*s))
                pat += (char)tolower((unsigned char)*s++);
        }
        if (pat.empty())
            continue;
        (minus ? exc : inc).push_back(pat);
        n++;
    }
}

bool line_matches(const char *line, const std::vector<std::string> &inc, const std::vector<std::string> &exc)
{
    std::string low(line);
    for (char &c : low)
        c = (char)tolower((unsigned char)c);
    for (const std::string &p : inc)
        if (low.find(p) == std::string::npos)
            return false;
    for (const std::string &p : exc)
        if (low.find(p) != std::string::npos)
            return false;
    return true;
}

void editor::search_history(bool from_line)
{
    std::string saved(buf, (size_t)len);
    ledit_newline();
    char pats[LEDIT_LINE_SIZE];
    snprintf(pats, sizeof(pats), "%s", from_line ? saved.c_str() : "");
    const char *selected = nullptr;
    if (ledit_edit(pats, sizeof(pats), k_search_prompt, from_line, 1)) {
        snprintf(g_ledit.cut, sizeof(g_ledit.cut), "%s", pats);
        std::vector<std::string> inc, exc;
        split_patterns(pats, inc, exc);
        std::vector<uint32_t> matches;
        for (uint32_t n = ledit_history_first(); n < g_ledit.hist_count; n++) {
            const char *line = ledit_history_get(n);
            if (line && line_matches(line, inc, exc))
                matches.push_back(n);
        }
        ledit_paging_reset();
        char text[LEDIT_LINE_SIZE + 16];
        for (size_t i = 0; i < matches.size(); i++) {
            const char *line = ledit_history_get(matches[i]);
            snprintf(text, sizeof(text), "%4d  %s", (int)(i + 1), line);
            if (!ledit_list_line(text, (int)strlen(line) + 7))
                break;
        }
        if (!matches.empty()) {
            char ans[8];
            snprintf(ans, sizeof(ans), "%s", matches.size() == 1 ? "1" : "");
            if (ledit_edit(ans, sizeof(ans), k_id_prompt, matches.size() == 1, 1) && ans[0]) {
                char *end = nullptr;
                errno = 0;
                long id = strtol(ans, &end, 10);
                if (isdigit((unsigned char)ans[0]) && end && !*end && errno == 0 && id >= 1 &&
                    id <= (long)matches.size())
                    selected = ledit_history_get(matches[(size_t)id - 1]);
                else
                    printf("Invalid history id: %s\n", ans);
            }
        }
    }
    const char *text = selected ? selected : saved.c_str();
    int n = fit_len(text, size - 1);
    memmove(buf, text, (size_t)n);
    buf[n] = '\0';
    hist_pos = g_ledit.hist_count;
    fresh_line(-1);
}

void editor::debug_keys()
{
    ledit_puts("\nEnter keyboard debug mode, <Ctrl-C> to exit debug\n");
    for (;;) {
        int c = ledit_read_byte();
        if (c == -2)
            continue;
        if (c < 0 || c == K_CTRL_C)
            break;
        printf("%3d 0x%02x (%c)\n", c, c, (c >= 32 && c < 127) ? c : ' ');
    }
    fresh_line(pos);
}

void editor::clear_history()
{
    ledit_puts("\n!!! Confirm to clear history [y]: ");
    ledit_key_t k = ledit_read_key();
    if (!k.eof && k.code == 'y') {
        ledit_puts("\nHistory are cleared!");
        ledit_history_clear();
        hist_pos = 0;
    }
    ledit_newline();
    fresh_line(pos);
}

} // namespace

char *ledit_edit(char *buf, int size, const char *prompt, int has_input, int search_mode)
{
    assert(buf && size >= 2);
    editor e;
    e.buf = buf;
    e.size = size;
    e.prompt = prompt ? prompt : "";
    e.plen = text_cols(e.prompt, (int)strlen(e.prompt));
    e.search = search_mode != 0;
    e.hist_pos = g_ledit.hist_count;
    if (has_input)
        buf[strnlen(buf, (size_t)size - 1)] = '\0';
    else
        buf[0] = '\0';
    winch_guard winch;
    g_ledit.resized = 0;
    e.fresh_line(-1);
    for (;;) {
        ledit_key_t k = ledit_read_key();
        if (k.eof) {
            // The terminal hung up (end of input), or a stop was requested.
            ledit_newline();
            fflush(stdout);
            buf[0] = '\0';
            errno = ledit_interrupted() ? EINTR : 0;
            return nullptr;
        }
        if (g_ledit.resized) {
            g_ledit.resized = 0;
            ledit_window_size();
            ledit_cursor_move(-e.row_of(e.pos_c), 0);
            ledit_puts("\r\033[J");
            e.fresh_line(e.pos);
        }
        uint32_t c = k.code;
        if (!k.escaped && c >= 32 && c <= 126) {
            char ch = (char)c;
            e.insert(&ch, 1);
        } else if (!k.escaped && c >= 0xC2 && c <= 0xF4) {
            e.insert_utf8((unsigned char)c);
        } else if (c == K_CTRL_J || c == K_CTRL_M) {
            e.redraw(e.len, e.len, 1);
            ledit_newline();
            if (e.len > 0 && buf[e.len - 1] == ' ')
                e.len--;
            buf[e.len] = '\0';
            if (!e.search)
                ledit_history_add(buf);
            fflush(stdout);
            return buf;
        } else if (c == K_CTRL_C) {
            fflush(stdout);
            exit(1);
        } else if (c == K_CTRL_G) {
            ledit_newline();
            fflush(stdout);
            buf[0] = '\0';
            errno = EAGAIN;
            return nullptr;
        } else if (c == K_CTRL_D) {
            if (e.len == 0) {
                ledit_newline();
                fflush(stdout);
                buf[0] = '\0';
                errno = 0;
                return nullptr;
            }
            if (e.pos < e.len)
                e.remove(e.pos, e.next_pos(e.pos), false);
        } else if (c == LK_DELETE) {
            if (e.pos < e.len)
                e.remove(e.pos, e.next_pos(e.pos), false);
        } else if (c == LK_BACKSPACE) {
            if (e.pos > 0)
                e.remove(e.prev_pos(e.pos), e.pos, false);
        } else if (c == K_CTRL_B || c == LK_LEFT) {
            if (e.pos > 0)
                e.redraw(e.prev_pos(e.pos), e.len, 0);
        } else if (c == K_CTRL_F || c == LK_RIGHT) {
            if (e.pos < e.len)
                e.redraw(e.next_pos(e.pos), e.len, 0);
        } else if (c == K_CTRL_A || c == LK_HOME) {
            e.redraw(0, e.len, 0);
        } else if (c == K_CTRL_E || c == LK_END) {
            e.redraw(e.len, e.len, 0);
        } else if (is_alt(c, 'b') || c == LK_CTRL_LEFT || c == LK_ALT_LEFT) {
            e.redraw(e.word_start_before(e.pos), e.len, 0);
        } else if (is_alt(c, 'f') || c == LK_CTRL_RIGHT || c == LK_ALT_RIGHT) {
            e.redraw(e.word_end_after(e.pos), e.len, 0);
        } else if (c == LK_UP || c == K_CTRL_P) {
            bool wrapped_move = e.pos != e.len && e.row_up();
            if (!wrapped_move && !e.search)
                e.history_prev();
        } else if (c == LK_DOWN || c == K_CTRL_N) {
            bool wrapped_move = e.pos != e.len && e.row_down();
            if (!wrapped_move && !e.search)
                e.history_next();
        } else if (c == LK_CTRL_UP || c == LK_ALT_UP) {
            e.row_up();
        } else if (c == LK_CTRL_DOWN || c == LK_ALT_DOWN) {
            e.row_down();
        } else if (c == alt('<') || c == LK_PGUP) {
            if (!e.search)
                e.history_oldest();
        } else if (c == alt('>') || c == LK_PGDN) {
            if (!e.search)
                e.history_go(g_ledit.hist_count);
        } else if (is_alt(c, 'u')) {
            e.change_case('u');
        } else if (is_alt(c, 'l')) {
            e.change_case('l');
        } else if (is_alt(c, 'c')) {
            e.change_case('c');
        } else if (c == alt('\\')) {
            e.delete_blanks_around();
        } else if (c == K_CTRL_T) {
            e.transpose();
        } else if (c == K_CTRL_K || c == LK_CTRL_END || c == LK_ALT_END) {
            e.remove(e.pos, e.len, true);
        } else if (c == K_CTRL_U || c == LK_CTRL_HOME || c == LK_ALT_HOME) {
            e.remove(0, e.pos, true);
        } else if (c == K_CTRL_X) {
            e.remove(0, e.len, true);
        } else if (is_alt(c, 'r')) {
            e.remove(0, e.len, false);
        } else if (c == LK_ALT_BACKSPACE || c == K_CTRL_UNDERSCORE) {
            e.remove(e.word_start_before(e.pos), e.pos, true);
        } else if (c == K_CTRL_W) {
            int i = e.pos;
            while (i > 0 && is_blank(buf[i - 1]))
                i--;
            while (i > 0 && !is_blank(buf[i - 1]))
                i--;
            e.remove(i, e.pos, true);
        } else if (is_alt(c, 'd') || c == LK_CTRL_DELETE || c == LK_ALT_DELETE) {
            e.remove(e.pos, e.word_end_after(e.pos), true);
        } else if (c == K_CTRL_Y || c == K_CTRL_V || c == LK_INSERT) {
            e.insert(g_ledit.cut, (int)strlen(g_ledit.cut));
        } else if (c == K_TAB) {
            if (!e.search)
                e.complete(false);
        } else if (c == alt('=') || c == alt('?')) {
            if (!e.search)
                e.complete(true);
        } else if (c == K_CTRL_L) {
            ledit_screen_clear();
            e.fresh_line(e.pos);
        } else if (c == K_CTRL_R || c == K_CTRL_S || c == LK_F4) {
            if (!e.search)
                e.search_history(c == LK_F4);
        } else if (c == LK_F1) {
            ledit_newline();
            ledit_help_show(e.search);
            e.fresh_line(e.pos);
        } else if (c == LK_F2) {
            ledit_newline();
            ledit_paging_reset();
            ledit_history_show();
            e.fresh_line(e.pos);
        } else if (c == LK_F3) {
            e.clear_history();
        } else if (c == K_CTRL_Z) {
            fflush(stdout);
            raise(SIGSTOP);
            e.fresh_line(e.pos);
        } else if (c == K_CTRL_CARET) {
            e.debug_keys();
        }
        fflush(stdout);
    }
}

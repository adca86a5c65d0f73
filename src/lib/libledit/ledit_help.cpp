// ledit_help: the help screens shown by F1 (keys, and search patterns).
#include <cstdio>
#include <cstring>

#include "libledit/ledit_imp.h"

namespace {

const char *const k_search_help[] = {
    "Patterns are separated by ' ', patter match is case insensitive:",
    "  (Hint: use Ctrl-Y/Ctrl-V/Insert to paste last paterns)",
    "    select:   choose line including 'select'",
    "    -select:  choose line excluding 'select'",
    "    \"select from\":  choose line including \"select from\"",
    "    -\"select from\": choose line excluding \"select from\"",
    "Example:",
    "    \"select from\" where -\"order by\" -limit:  ",
    "         choose line including \"select from\" and 'where'",
    "         and excluding \"order by\" or 'limit'",
};

// A section title (keys == NULL) or one row of a section's box.
struct help_row {
    const char *keys;
    const char *desc;
};

const help_row k_key_help[] = {
    {nullptr, " Misc Commands"},
    {"F1", "Show help."},
    {"Ctrl-^", "Enter keyboard debug mode."},
    {nullptr, " Move Commands"},
    {"Ctrl-B, Left", "Move back a character."},
    {"Ctrl-F, Right", "Move forward a character."},
    {"Up, ESC+Up", "Move to previous line."},
    {"Ctrl-Up, Alt-Up", "Move to previous line only."},
    {"Down, ESC+Down", "Move to next line."},
    {"Ctrl-Down,Alt-Down", "Move to next line only."},
    {"Alt-B, ESC+Left,", "Move back a word."},
    {"  Ctrl-Left, Alt-Left", "(Ctrl-Up, Alt-Up only supports Windows/Xterm)"},
    {"Alt-F, ESC+Right,", "Move forward a word."},
    {"  Ctrl-Right, Alt-Right", ""},
    {"Ctrl-A, Home", "Move to start of line."},
    {"Ctrl-E, End", "Move to end of line."},
    {"Ctrl-L", "Clear screen and redisplay line."},
    {nullptr, " Edit Commands"},
    {"Ctrl-H, Backspace", "Delete character to left of cursor."},
    {"Ctrl-D, DEL", "Delete character under cursor."},
    {"Alt-U", "Uppercase current or following word."},
    {"Alt-L", "Lowercase current or following word."},
    {"Alt-C", "Capitalize current or following word."},
    {"Alt-\\", "Delete whitespace around cursor."},
    {"Ctrl-T", "Transpose characters."},
    {nullptr, " Cut&Paste Commands"},
    {"Ctrl-K, ESC+End,", "Cut from cursor to end of line."},
    {"  Ctrl-End, Alt-End", ""},
    {"Ctrl-U, ESC+Home,", "Cut from start of line to cursor."},
    {"  Ctrl-Home, Alt-Home", ""},
    {"Ctrl-X", "Cut whole line."},
    {"Alt-Backspace,", "Cut word to left of cursor."},
    {"  Esc+Backspace,", ""},
    {"  Clt-Backspace", ""},
    {"Alt-D, ESC+Del,", "Cut word following cursor."},
    {"  Alt-Del, Ctrl-Del", ""},
    {"Ctrl-W", "Cut to left till whitespace (not word)."},
    {"Ctrl-Y, Ctrl-V, Insert", "Paste last cut text."},
    {nullptr, " Complete Commands"},
    {"TAB, Ctrl-I", "Autocomplete."},
    {"Alt-=, Alt-?", "List possible completions."},
    {nullptr, " History Commands"},
    {"Ctrl-P, Up", "Fetch previous line in history."},
    {"Ctrl-N, Down", "Fetch next line in history."},
    {"Alt-<,  PgUp", "Move to first line in history."},
    {"Alt->,  PgDn", "Move to end of input history."},
    {"Ctrl-R, Ctrl-S", "Search history."},
    {"F4", "Search history with current input."},
    {"F1", "Show search help when in search mode."},
    {"F2", "Show history."},
    {"F3", "Clear history (need confirm)."},
    {nullptr, " Control Commands"},
    {"Enter,  Ctrl-J, Ctrl-M", "EOL and accept line."},
    {"Ctrl-C, Ctrl-G", "EOF and abort line."},
    {"Ctrl-D", "EOF if line is empty."},
    {"Alt-R", "Revert line."},
    {"Ctrl-Z", "Suspend Job. (Linux Only, fg will resume edit)"},
};

const char *const k_key_notes[] = {
    " Note: If Alt-key doesn't work, an alternate way is to press ESC first then press key, see above "
    "ESC+Key.",
    " Note: In multiple lines:",
    "       Up/Down and Ctrl/Alt-Up, Ctrl/Alt-Down will move between lines.",
    "       Up key will fetch history when cursor in first line or end of last line(for quick history move)",
    "       Down key will fetch history when cursor in last line.",
    "       Ctrl/Alt-Up, Ctrl/Alt-Down will just move between lines.",
};

const char k_border[] =
    " +-------------------------+--------------------------------------------------+";

bool put(const char *line) { return ledit_list_line(line, (int)strlen(line)) != 0; }

} // namespace

// Writes the key help (search == 0) or the search help, paged. Returns 0
// when the reader stopped the listing, else 1.
int ledit_help_show(int search)
{
    ledit_paging_reset();
    if (search) {
        for (const char *l : k_search_help)
            if (!put(l))
                return 0;
        return 1;
    }
    char line[160];
    size_t n = sizeof(k_key_help) / sizeof(k_key_help[0]);
    for (size_t i = 0; i < n; i++) {
        const help_row &r = k_key_help[i];
        if (!r.keys) {
            if (!put(r.desc) || !put(k_border))
                return 0;
        } else {
            snprintf(line, sizeof(line), " | %-24s|  %-48s|", r.keys, r.desc);
            if (!put(line))
                return 0;
        }
        if (i + 1 == n || !k_key_help[i + 1].keys)
            if (!put(k_border))
                return 0;
    }
    for (const char *l : k_key_notes)
        if (!put(l))
            return 0;
    return 1;
}

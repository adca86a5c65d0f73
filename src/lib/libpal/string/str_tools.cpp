// Everyday text operations: trimming, deleting, case, prefix/suffix tests,
// searches and replacement. Bytes, not characters: only ASCII is ever
// trimmed or case-folded, so UTF-8 sequences pass through untouched.
#include "libpal/string/str_tools.h"

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

#define TAG "pal"

static inline int lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }
static inline int upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c; }
static inline int is_alnum(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

int str_is_space_chr(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
int str_is_quote_chr(int c) { return c == '"' || c == '\''; }

// ---- trimming ------------------------------------------------------------------

char *str_trim_imp(char *text, int (*pred)(int), int c)
{
    if (!text)
        return nullptr;
    auto hit = [&](unsigned char ch) {
        if (ch >= 0x80)
            return false;
        return (pred && pred(ch)) || (c != 0 && ch == (unsigned char)c);
    };
    size_t len = strlen(text);
    size_t b = 0;
    while (b < len && hit((unsigned char)text[b]))
        ++b;
    size_t e = len;
    while (e > b && hit((unsigned char)text[e - 1]))
        --e;
    if (b > 0)
        memmove(text, text + b, e - b);
    text[e - b] = '\0';
    return text;
}

char *str_trim(char *text) { return str_trim_imp(text, str_is_space_chr, 0); }
char *str_trim_quote(char *text) { return str_trim_imp(text, str_is_quote_chr, 0); }
char *str_trim_chr(char *text, char c) { return str_trim_imp(text, nullptr, (unsigned char)c); }

char *str_rtrim_set(char *text, const char *set)
{
    if (!text || !set)
        return text;
    size_t e = strlen(text);
    while (e > 0) {
        unsigned char ch = (unsigned char)text[e - 1];
        if (ch >= 0x80 || !strchr(set, ch))
            break;
        --e;
    }
    text[e] = '\0';
    return text;
}

char *str_rtrim_blank(char *text) { return str_rtrim_set(text, " \t\v\f"); }

char *str_rtrim_chr(char *text, char c)
{
    if (!text || c == '\0')
        return text;
    size_t e = strlen(text);
    while (e > 0 && text[e - 1] == c)
        --e;
    text[e] = '\0';
    return text;
}

char *str_trim_all(char *text)
{
    if (!text)
        return nullptr;
    size_t before;
    do {
        before = strlen(text);
        for (int round = 0; round < 2; ++round) {
            str_trim(text);
            str_strip_enclosing(text, '"', '"');
            str_strip_enclosing(text, '\'', '\'');
        }
    } while (strlen(text) != before);
    return text;
}

// ---- deleting and editing ---------------------------------------------------------

// Keeps the characters for which drop() is false.
template <class F> static char *filter(char *text, F drop)
{
    if (!text)
        return nullptr;
    char *w = text;
    for (const char *r = text; *r; ++r)
        if (!drop((unsigned char)*r))
            *w++ = *r;
    *w = '\0';
    return text;
}

char *str_delchar(char *text, char c)
{
    return filter(text, [c](unsigned char ch) { return ch == (unsigned char)c; });
}

char *str_delchars(char *text, const char *set)
{
    if (!set)
        return text;
    return filter(text, [set](unsigned char ch) { return strchr(set, ch) != nullptr; });
}

char *str_delchars2(char *text, const char *set) { return str_delchars(text, set); }

char *str_rdelchar(char *str, char c)
{
    PL_ASSERT_HARD(TAG, str!=NULL);
    char *p = strrchr(str, c);
    if (p && c != '\0')
        memmove(p, p + 1, strlen(p + 1) + 1);
    return str;
}

char *str_squeeze_chr(char *text, char c)
{
    if (!text)
        return nullptr;
    char *w = text;
    for (const char *r = text; *r; ++r) {
        if (*r == c && w > text && w[-1] == c)
            continue;
        *w++ = *r;
    }
    *w = '\0';
    return text;
}

char *str_del_range(char *text, size_t pos, size_t n)
{
    if (!text)
        return nullptr;
    size_t len = strlen(text);
    if (pos >= len || n == 0)
        return text;
    if (n > len - pos)
        n = len - pos;
    memmove(text + pos, text + pos + n, len - pos - n + 1);
    return text;
}

char *str_copy_del_range(char *out, const char *text, size_t pos, size_t n)
{
    if (!out)
        return nullptr;
    if (!text) {
        out[0] = '\0';
        return out;
    }
    size_t len = strlen(text);
    if (pos > len)
        pos = len;
    if (n > len - pos)
        n = len - pos;
    memcpy(out, text, pos);
    memcpy(out + pos, text + pos + n, len - pos - n + 1);
    return out;
}

int str_del_str(char *text, const char *sub)
{
    if (!text || !sub || !*sub)
        return 0;
    char *p = strstr(text, sub);
    if (!p)
        return 0;
    size_t n = strlen(sub);
    memmove(p, p + n, strlen(p + n) + 1);
    return 1;
}

char *str_del_str_tail(char *text, const char *suffix)
{
    if (!text || !suffix)
        return text;
    size_t len = strlen(text), n = strlen(suffix);
    if (n <= len && memcmp(text + len - n, suffix, n) == 0)
        text[len - n] = '\0';
    return text;
}

char *str_strip_ends(char *text)
{
    if (!text)
        return nullptr;
    size_t len = strlen(text);
    if (len <= 2) {
        text[0] = '\0';
        return text;
    }
    memmove(text, text + 1, len - 2);
    text[len - 2] = '\0';
    return text;
}

char *str_strip_enclosing(char *text, char open, char close)
{
    if (!text)
        return nullptr;
    size_t len = strlen(text);
    if (len >= 2 && text[0] == open && text[len - 1] == close)
        str_strip_ends(text);
    return text;
}

int str_add_chr_not_exist_tail(char *text, size_t size, char c)
{
    if (!text)
        return -1;
    size_t slen = size;
    // Never look past the buffer: an unterminated text counts as full.
    size_t len = strnlen(text, slen);
    if (len > 0 && len < slen && text[len - 1] == c)
        return 0;
    PL_ASSERT_RET(TAG, len+1 <= slen || slen >= 2, -1);
    // A one-byte buffer holds only the terminator: there is no room for c.
    if (slen < 2)
        return -1;
    if (len + 1 >= slen) {
        text[slen - 2] = c;
        text[slen - 1] = '\0';
        return 0;
    }
    text[len] = c;
    text[len + 1] = '\0';
    return 0;
}

int str_prepend(char *text, size_t size, const char *prefix)
{
    if (!text || size == 0)
        return -1;
    if (!prefix || !*prefix)
        return 0;
    size_t plen = strlen(prefix);
    size_t tlen = strnlen(text, size);
    if (tlen >= size || plen + tlen + 1 > size) {
        char head[32];
        LOG_ERR(TAG, "need_size=%d buf_size=%u head=[%s]\n", (int)(plen + tlen + 1), (unsigned)size,
                str_get_head(prefix, head, sizeof(head)));
        pl_dump_stack();
        text[0] = '\0';
        errno = ERANGE;
        return -1;
    }
    memmove(text + plen, text, tlen + 1);
    memmove(text, prefix, plen);
    return 0;
}

char *str_tolower(char *text)
{
    if (text)
        for (char *p = text; *p; ++p)
            *p = (char)lower((unsigned char)*p);
    return text;
}

char *str_toupper(char *text)
{
    if (text)
        for (char *p = text; *p; ++p)
            *p = (char)upper((unsigned char)*p);
    return text;
}

char *str_wipe(char *text)
{
    if (!text)
        return nullptr;
    // volatile: the zeroing of a dead password buffer must not be optimised away.
    volatile char *p = text;
    while (*p)
        *p++ = '\0';
    return text;
}

char *str_reverse(char *text)
{
    if (!text)
        return nullptr;
    size_t len = strlen(text);
    for (size_t i = 0, j = len; i + 1 < j; ++i, --j) {
        char t = text[i];
        text[i] = text[j - 1];
        text[j - 1] = t;
    }
    return text;
}

char *str_replace_chr(char *text, char a, char b) { return str_replace_chr_n(text, 0, a, b); }

char *str_replace_chr_n(char *text, int n, char a, char b)
{
    if (!text || a == '\0')
        return text;
    long left = n <= 0 ? -1 : n;
    for (char *p = text; *p && left != 0; ++p)
        if (*p == a) {
            *p = b;
            if (left > 0)
                --left;
        }
    return text;
}

uint32_t *str_replace_wchr(uint32_t *text, uint32_t a, uint32_t b)
{
    if (!text || a == 0)
        return text;
    for (uint32_t *p = text; *p; ++p)
        if (*p == a)
            *p = b;
    return text;
}

char *str_set_last_chr(char *text, char c)
{
    if (text && *text)
        text[strlen(text) - 1] = c;
    return text;
}

// ---- tests and search ------------------------------------------------------------

int str_start_with(const char *text, const char *prefix)
{
    if (!text || !prefix)
        return 0;
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

int str_end_with(const char *text, const char *suffix)
{
    if (!text || !suffix)
        return 0;
    size_t len = strlen(text), n = strlen(suffix);
    return n <= len && memcmp(text + len - n, suffix, n) == 0;
}

int str_istart_with(const char *text, const char *prefix)
{
    if (!text || !prefix)
        return 0;
    for (size_t i = 0;; ++i) {
        if (!prefix[i])
            return 1;
        unsigned char t = (unsigned char)text[i];
        if (!t || str_is_space_chr(t))
            return 0;
        if (lower(t) != lower((unsigned char)prefix[i]))
            return 0;
    }
}

int str_iend_with(const char *text, const char *suffix)
{
    if (!text || !suffix)
        return 0;
    size_t len = strlen(text), n = strlen(suffix);
    if (n > len)
        return 0;
    const char *t = text + len - n;
    for (size_t i = 0; i < n; ++i) {
        unsigned char a = (unsigned char)t[i], b = (unsigned char)suffix[i];
        if (str_is_space_chr(a) || str_is_space_chr(b) || lower(a) != lower(b))
            return 0;
    }
    return 1;
}

int str_is_enclosed(const char *text, char first, char last)
{
    if (!text)
        return 0;
    size_t len = strlen(text);
    return len > 1 && text[0] == first && text[len - 1] == last;
}

int str_all_chr(const char *text, char c)
{
    if (!text || !*text)
        return 0;
    for (const char *p = text; *p; ++p)
        if (*p != c)
            return 0;
    return 1;
}

char *str_istr(const char *pstr, const char *psubstr)
{
    PL_ASSERT_HARD(TAG, pstr!=NULL);
    PL_ASSERT_HARD(TAG, psubstr!=NULL);
    if (!*psubstr)
        return const_cast<char *>(pstr);
    for (const char *p = pstr; *p; ++p) {
        size_t i = 0;
        while (psubstr[i] && p[i] && lower((unsigned char)p[i]) == lower((unsigned char)psubstr[i]))
            ++i;
        if (!psubstr[i])
            return const_cast<char *>(p);
        if (!p[i])
            break;
    }
    return nullptr;
}

char *str_find_word_imp(const char *text, const char *word, const char **next, int nocase)
{
    if (next)
        *next = nullptr;
    if (!text || !word || !*word)
        return nullptr;
    const char *p = nocase ? str_istr(text, word) : strstr(text, word);
    if (!p)
        return nullptr;
    // Go on from the next character, not past the whole match: a later
    // overlapping occurrence can be the whole word ("a-a" in "xa-a-a").
    if (next)
        *next = p + 1;
    size_t n = strlen(word);
    bool before_ok = p == text || !is_alnum((unsigned char)p[-1]);
    bool after_ok = !is_alnum((unsigned char)p[n]);
    return (before_ok && after_ok) ? const_cast<char *>(p) : nullptr;
}

static char *find_word(const char *text, const char *word, int nocase)
{
    const char *cur = text;
    while (cur && *cur) {
        const char *next = nullptr;
        char *hit = str_find_word_imp(cur, word, &next, nocase);
        // str_find_word_imp judges the character before the match only within
        // cur; look one further back when the match starts a later round.
        if (hit && hit > text && hit == cur && is_alnum((unsigned char)hit[-1]))
            hit = nullptr;
        if (hit)
            return hit;
        cur = next;
    }
    return nullptr;
}

char *str_str_word(const char *text, const char *word) { return find_word(text, word, 0); }
char *str_istr_word(const char *text, const char *word) { return find_word(text, word, 1); }

char *str_rstr(const char *dst, const char *src)
{
    PL_ASSERT_HARD(TAG, dst);
    PL_ASSERT_HARD(TAG, src);
    size_t len = strlen(dst), n = strlen(src);
    if (n > len)
        return nullptr;
    for (size_t i = len - n + 1; i-- > 0;)
        if (memcmp(dst + i, src, n) == 0)
            return const_cast<char *>(dst + i);
    return nullptr;
}

char *str_find_any_chr(const char *text, const char *set)
{
    if (!text || !set)
        return nullptr;
    for (const char *s = set; *s; ++s) {
        const char *p = strchr(text, *s);
        if (p)
            return const_cast<char *>(p);
    }
    return nullptr;
}

char *str_rpbrk(const char *text, const char *set)
{
    if (!text || !set)
        return nullptr;
    for (size_t i = strlen(text); i-- > 0;)
        if (strchr(set, text[i]))
            return const_cast<char *>(text + i);
    return nullptr;
}

size_t str_count_chr(const char *text, char c)
{
    size_t n = 0;
    if (text && c)
        for (const char *p = text; *p; ++p)
            n += *p == c;
    return n;
}

size_t str_count_chars_in_set(const char *text, const char *set)
{
    size_t n = 0;
    if (text && set)
        for (const char *p = text; *p; ++p)
            n += strchr(set, *p) != nullptr;
    return n;
}

int str_in_sep_list(const char *text, const char *list, char sep)
{
    if (!text || !list)
        return -1;
    size_t n = strlen(text);
    const char *p = list;
    for (;;) {
        const char *e = strchr(p, sep);
        size_t len = e ? (size_t)(e - p) : strlen(p);
        if (sep == '\0')
            e = nullptr;
        if (len == n && memcmp(p, text, n) == 0)
            return 0;
        if (!e)
            return -1;
        p = e + 1;
    }
}

const char *str_skip_utf8_bom(const char *text)
{
    if (text && (unsigned char)text[0] == 0xEF && (unsigned char)text[1] == 0xBB && (unsigned char)text[2] == 0xBF)
        return text + 3;
    return text;
}

char *str_skip_utf8_bom(char *text) { return const_cast<char *>(str_skip_utf8_bom((const char *)text)); }

int str_cmp_show_dbg(const char *a, const char *b)
{
    if (!a || !b)
        return 0;
    size_t la = strlen(a);
    bool b_ended = false;
    for (size_t i = 0; i < la; ++i) {
        char cb = b_ended ? '\0' : b[i];
        if (cb == '\0')
            b_ended = true;
        if (a[i] != cb)
            LOG_ERR(TAG, "off=%u %c=%c\n", (unsigned)i, a[i], cb);
    }
    return 0;
}

// ---- replacing -------------------------------------------------------------------

char *str_replace_imp(const char *text, const char *old, const char *new_, int max, char *out, size_t size)
{
    if (!text || !old || !new_) {
        if (out && size)
            out[0] = '\0';
        return nullptr;
    }
    size_t olen = strlen(old), nlen = strlen(new_), tlen = strlen(text);
    // Count first, so the result is sized exactly. An empty old matches
    // nothing: otherwise a scan would never move past it.
    size_t hits = 0;
    if (olen) {
        for (const char *p = text; (max <= 0 || hits < (size_t)max) && (p = strstr(p, old)); p += olen)
            ++hits;
    }
    size_t need = tlen + 1;
    if (nlen >= olen)
        need += hits * (nlen - olen);
    else
        need -= hits * (olen - nlen);
    char *dst = out;
    if (!out) {
        dst = (char *)os_malloc(need);
        if (!dst)
            return nullptr;
    } else if (need > size) {
        if (size)
            out[0] = '\0';
        return nullptr;
    }
    char *w = dst;
    const char *r = text;
    for (size_t k = 0; k < hits; ++k) {
        const char *p = strstr(r, old);
        memcpy(w, r, (size_t)(p - r));
        w += p - r;
        memcpy(w, new_, nlen);
        w += nlen;
        r = p + olen;
    }
    memcpy(w, r, strlen(r) + 1);
    return dst;
}

char *str_replace(const char *text, const char *old, const char *new_)
{
    return str_replace_imp(text, old, new_, 0, nullptr, 0);
}

char *str_replace_buf(const char *text, const char *old, const char *new_, char *out, size_t size)
{
    if (!out)
        return nullptr;
    return str_replace_imp(text, old, new_, 0, out, size);
}

// ---- allocating helpers --------------------------------------------------------------

char *str_dup_cat(const char *a, const char *b)
{
    if (!a)
        return nullptr;
    size_t la = strlen(a), lb = b ? strlen(b) : 0;
    char *p = (char *)os_malloc(la + lb + 1);
    if (!p)
        return nullptr;
    memcpy(p, a, la);
    if (lb)
        memcpy(p + la, b, lb);
    p[la + lb] = '\0';
    return p;
}

char *str_dup_add_chr(const char *text, char c)
{
    if (!text || c == '\0')
        return nullptr;
    size_t len = strlen(text);
    char *p = (char *)os_malloc(len + 2);
    if (!p)
        return nullptr;
    memcpy(p, text, len);
    p[len] = c;
    p[len + 1] = '\0';
    return p;
}

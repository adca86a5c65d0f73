// String containers used across the code base:
//  - str_vector: growable vector of text pointers (split results, argument
//    lists, name lists), on the stack (str_vector_init) or heap (str_vector_new);
//  - strv: plain heap array of texts (strv_new);
//  - zz lists: strings packed one after another, each ended by NUL, the list
//    ended by an empty string ("a\0b\0\0"; the empty list is two NUL bytes);
//  - str_map: map from text keys to values, kept as an array of entry
//    pointers in insertion order, or in key order once sorted.
//
// The low four flag bits (the mode nibble) choose how the elements sort:
// 0x1/0x2 as texts (strcmp), 0x4 as 64-bit pointer values, 0x8 by the first
// text field of the records they point to. Without any of them a container
// takes its default (0x4 for str_vector and strv, 0x8 for str_map).
//
// The containers are not locked: each belongs to one thread at a time.
// Functions that can fail answer -1 (or NULL from constructors) on a missing
// argument or allocation failure and leave the container as it was.
#pragma once
#include <cstddef>
#include <cstdint>

enum : uint32_t {
    STR_MODE_STR = 0x1,     // texts, strcmp
    STR_MODE_STR2 = 0x2,    // texts, strcmp
    STR_MODE_U64 = 0x4,     // pointer values
    STR_MODE_STRUCT = 0x8,  // records by their first field, a text pointer
    STR_MODE_MASK = 0xf,

    STR_VEC_OWN = 0x1,      // the vector owns its items (push stores a copy)
    STR_VEC_NOCASE = 0x10,  // finding ignores ASCII case
    STR_VEC_NO_EMPTY = 0x20, // push ignores ""
    STR_VEC_UNIQ = 0x40,    // push ignores a text already present

    STR_MAP_KEY_IN = 0x1,   // the key text is stored inside the entry
    STR_MAP_SORTED = 0x80,  // entries are in key order; finding bisects
    STR_MAP_VAL_STR = 0x100, // the value is a text copied into the entry
    STR_MAP_VAL_OWN = 0x200, // a pointer value is owned (os_free'd with its entry)
};

// ---- str_vector --------------------------------------------------------------------

struct str_vector {
    char **items;     // after a split the slot behind the last item is NULL
    uint64_t count;
    uint64_t cap;
    uint32_t flags;   // mode nibble and STR_VEC_* bits
    uint32_t heap;    // 1 when made by str_vector_new
    char *buf;        // private copy of the last text split by a copying split
    uint64_t buf_size;
};

// Zeroes all fields and applies the mode default.
void str_vector_init(str_vector *v, uint32_t flags);
// Zeroed heap vector (heap = 1); NULL when memory runs out. Free with str_vector_free.
str_vector *str_vector_new(uint32_t flags);
// Frees owned items and buf; count 0; the item array stays.
void str_vector_clear(str_vector *v);
// Frees owned items, the item array and buf; count and cap 0.
void str_vector_uninit(str_vector *v);
// Uninit, then frees the holder when it came from str_vector_new.
void str_vector_free(str_vector *v);
// Appends s (a copy when the vector owns its items). 0 also when a
// STR_VEC_NO_EMPTY / STR_VEC_UNIQ rule skips it; -1 for NULL s (soft
// assertion) or when memory runs out. Growth: 16, then doubling.
int str_vector_push_back(str_vector *v, const char *s);
// Stores NULL behind the last item (count unchanged), growing when needed. 0 or -1.
int str_vector_term_null(str_vector *v);
// Index of the first item equal to s (strcasecmp with STR_VEC_NOCASE, else
// strcmp), or -1.
int64_t str_vector_find(const str_vector *v, const char *s);
int64_t str_vector_find_nocase(const str_vector *v, const char *s);
int64_t str_vector_find_case(const str_vector *v, const char *s);
// Removes every item str_vector_find finds (owned ones freed). 0 when at
// least one was removed, else -1.
int str_vector_remove(str_vector *v, const char *s);
// Sorts with the mode comparator; sort_uniq also drops adjacent duplicates
// (owned ones freed).
void str_vector_sort(str_vector *v);
void str_vector_sort_uniq(str_vector *v);

// Splitting. Each empties the vector first (owned items are freed), keeps
// empty fields (unless STR_VEC_NO_EMPTY), pushes every field through
// str_vector_push_back (so an owning vector holds copies) and ends the items
// with NULL. 0, or -1 on a missing argument or allocation failure.
//
// Cuts text in place at any character of seps (strsep). max 0: every field
// is an item; max 1: the whole text is one item; max n >= 2: the first n-1
// fields, then the unsplit rest as item n.
int str_vector_split_imp(char *text, const char *seps, int max, str_vector *v);
// max 0 on the caller's text, which is cut and must outlive the items.
int str_vector_split(char *text, const char *seps, str_vector *v);
// Copy text into v->buf first (text stays intact; items point into buf).
int str_vector_split_dup(const char *text, const char *seps, int max, str_vector *v);
int str_vector_split_str(const char *text, const char *seps, str_vector *v);
// Copies text into v->buf and splits it at characters of seps that stand
// outside quotes; every character of quotes toggles one inside/outside
// state and stays in the items. Empty items between adjacent separators
// remain; the part after the last separator is an item only when it is not
// empty. An odd number of quote characters logs "syntax error" and gives -1
// (the vector is then empty). Without quotes (NULL or none in the text) it is
// str_vector_split on the copy.
int str_split_esape(const char *text, const char *seps, const char *quotes, str_vector *v);
// Empties v, then pushes a pointer to each string of the zz list (copies
// when owning) while its offset is below len and the string ends within len
// (len -1: no bound); ends the items with NULL. 0 or -1.
int str_vector_from_zz(const char *zz, int64_t len, str_vector *v);

// ---- strv --------------------------------------------------------------------------------

struct strv {
    char **items;     // cap + 1 slots, the one behind the last item NULL
    uint64_t count;
    uint64_t cap;
    uint32_t flags;   // mode nibble; 0x1 = owns copies of its items
};

// Zeroed holder with cap+1 zeroed slots; NULL when memory runs out.
strv *strv_new(uint64_t cap, uint32_t flags);
// Appends s (a copy with 0x1). A full array grows (16 from 0, 4x up to
// 64000 slots, then 2x). 0 or -1.
int strv_add(strv *v, const char *s);
// When n < count: frees owned items n..count-1, zeroes their slots, count = n.
void strv_truncate(strv *v, uint64_t n);
void strv_free(strv *v);
void strv_sort(strv *v);
// Sorts and truncates adjacent duplicates away (owned ones freed).
void strv_sort_uniq(strv *v);
// New owning strv (cap 16, flags 0x1) holding a copy of every strsep field
// of text, empty ones included; NULL on a missing argument or no memory.
strv *strv_split(const char *text, const char *seps);

// ---- zz lists -----------------------------------------------------------------------------

// Stores a pointer to each string of the list in array (at most max). When
// a further non-empty string follows the max-th it logs "[%s] error: more
// '0' sep, max_sep=%d" and answers -1. total (when not NULL) receives the
// list's byte length including its final NUL. str and array must not be
// NULL (hard assertions). Count or -1.
int str_split_zz(const char *str, const char **array, int max, size_t *total);
// Offset of the first NUL directly followed by another NUL (the list's
// length without its two final NULs), searched within max bytes (0 means
// 65536); -1 when none lies within them.
int64_t str_zz_len(const char *zz, size_t max);
// Index of the first string equal to s, or -1.
int str_zz_find(const char *zz, const char *s);

// ---- str_map ------------------------------------------------------------------------------

struct str_map {
    void **entries;   // one heap block per entry, layout chosen by the flags
    uint64_t count;
    uint64_t cap;
    uint32_t flags;   // mode nibble and STR_MAP_* bits
};

// Applies the mode default; allocates the entry array only when m->cap was
// set before the call (other fields are overwritten); count 0. 0 or -1.
int str_map_init(str_map *m, uint32_t flags);
// Zeroed, initialised heap map; NULL when memory runs out. Free with str_map_free.
str_map *str_map_new(uint32_t flags);
// Frees every entry (and owned values); count 0.
void str_map_clear(str_map *m);
// Clear and free the entry array.
void str_map_uninit(str_map *m);
// Uninit and free the holder (only for maps from str_map_new).
void str_map_free(str_map *m);
// Adds an entry without looking for the key (a key may then occur twice).
// Appended in an unsorted map; in a sorted map placed in key order so that
// finding keeps working. value is a text for STR_MAP_VAL_STR maps (NULL
// means ""), else a pointer kept as is. 0 or -1.
int str_map_add(str_map *m, const char *key, const void *value);
// Replaces the value of an existing key (an owned old pointer is freed; a
// longer text moves the entry to a new block in the same slot) or adds the
// key. 0 or -1 (the old entry stays).
int str_map_set(str_map *m, const char *key, const void *value);
// Index of key (bisection when sorted, else a scan in entry order), or -1.
int64_t str_map_find(const str_map *m, const char *key);
// Value of key (the inline text or the stored pointer), or NULL.
void *str_map_get(const str_map *m, const char *key);
// Frees the entry of key and its owned value and closes the gap. 0 or -1.
int str_map_del(str_map *m, const char *key);
// Key text / value of entry i, NULL when i >= count or the slot is empty.
const char *str_map_key_at(const str_map *m, uint64_t i);
void *str_map_val_at(const str_map *m, uint64_t i);
// Frees entry i and its owned value and leaves its slot empty (count unchanged).
void str_map_del_at(str_map *m, uint64_t i);
// Sorts the entries by key (strcmp) and marks the map sorted.
void str_map_sort(str_map *m);

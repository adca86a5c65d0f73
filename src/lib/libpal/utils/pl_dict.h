// pl_dict: a hash dictionary from text keys to 64-bit values (numbers, or
// pointers cast to u64), in an open-addressing table: MurmurHash2 over the
// key, a perturbed probe sequence, deleted-slot markers, and a rebuild that
// doubles the table when two thirds of its slots have been filled (or clears
// the deleted markers at the same size when the keys still fit).
//
// Not locked: one owner at a time.
#pragma once
#include <cstdint>
#include <cstdio>

// Flags of dict_init.
enum : uint32_t {
    DICT_F_KEY_COPY = 0x1,   // keys are copied on insertion and freed on deletion and at the end
    DICT_F_VAL_STR = 0x100,  // values are texts, copied on insertion and freed when replaced, deleted or at the end
    DICT_F_VAL_FREE = 0x200, // values are pointers freed with os_free when replaced, deleted or at the end
};

struct dict_slot_t {
    char *key; // NULL: empty; all bits set: deleted
    uint64_t value;
    uint32_t hash;
};

struct dict_t {
    uint32_t flags;
    uint32_t fill; // slots taken by insertions since the last rebuild
    uint32_t live; // keys present
    uint32_t size; // slots, a power of two
    dict_slot_t *slots;
};

// A key of dict_get_key_list: a copied text and the next record. The caller
// frees both with os_free.
struct dict_key_list_t {
    char *key;
    dict_key_list_t *next;
};

// The key hash: 32-bit MurmurHash2 with the seed len ^ 0xbadcafe; 0 for "".
uint32_t dict_hash(const char *key);

// A new dictionary of 8 empty slots, or NULL when memory runs out. Free with
// dict_exit.
dict_t *dict_init(uint32_t flags);
// Sets key to value: an existing key gets the new value (the old one is
// released under 0x100 or 0x200 unless it is the very value stored again;
// under 0x100 the new one is copied, NULL stays NULL); a new key takes a
// slot. 0, or -1 when memory runs out (the dictionary is then as it was).
// d and key must not be NULL (hard assertions).
int dict_set(dict_t *d, const char *key, uint64_t value);
// The key's value, or def when d or key is NULL or the key is absent.
uint64_t dict_get(const dict_t *d, const char *key, uint64_t def);
// Removes the key, releasing what the flags say the dictionary owns. 0, or
// -1 when the key is absent. d and key must not be NULL (hard assertions).
int dict_del(dict_t *d, const char *key);
// Number of keys present.
uint32_t dict_count(const dict_t *d);
// The first key at or after slot `pos`, with its value; answers the position
// to pass next. -1 (key NULL, value 0) when no key follows, and -1 for a
// NULL argument or a negative position. Start with 0.
int dict_next(const dict_t *d, int pos, const char **key, uint64_t *value);
// "[rank=%d] %s: %s\n" for each key: the position dict_next gives, the key
// and the value, as text under 0x100 ("UNDEF" for NULL), as a number
// otherwise ("UNDEF" for a NULL pointer under 0x200). Nothing when d or f is NULL.
void dict_dump(const dict_t *d, FILE *f);
// Builds in *list, in slot order, records holding copies of all keys (NULL
// when there are none). Answers -1 when done; after a failed allocation
// *list is NULL. d must not be NULL (hard assertion).
int dict_get_key_list(const dict_t *d, dict_key_list_t **list);
// Frees what the flags say the dictionary owns, the slots and d. d must not
// be NULL (hard assertion).
void dict_exit(dict_t *d);

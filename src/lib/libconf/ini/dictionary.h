// dictionary: the in-memory form of one ini document. Every value lives under
// an entry name: a section entry is named by the section (no value), a key
// entry by the section, one TAB and the key. Slot order is document order.
//
// A dictionary is not locked: one thread at a time. It owns copies of every
// text it holds.
#pragma once
#include <cstddef>
#include <cstdint>

struct zkfile_t;
struct dict_index;

struct dictionary {
    int32_t n;          // used slots
    uint64_t size;      // slots, never below 128
    char **val;         // NULL for section entries
    char **key;         // a slot is used exactly when its name is not NULL
    char **comment;     // comment and blank lines that preceded the entry
    uint32_t *hash;
    char *tail;         // comment text after the last entry
    dict_index *index;  // the slots of each hash, so a lookup is not a scan
                        // of every slot; kept by the functions below
};

// At least 128 slots; NULL when memory runs out.
dictionary *dictionary_new(size_t size);
void dictionary_del(dictionary *d);
// Jenkins one-at-a-time hash (32-bit).
uint32_t dictionary_hash(const char *name);
// The value (NULL for a section entry), or def when no entry has that name.
const char *dictionary_get(const dictionary *d, const char *name, const char *def);
const char *dictionary_get_comment(const dictionary *d, const char *name);
// Replaces the value of an existing entry (its comment and slot stay), or
// adds an entry at the first free slot at or after index n. 0, or -1.
int dictionary_set(dictionary *d, const char *name, const char *val, const char *comment);
int dictionary_setcomm(dictionary *d, const char *name, const char *val);
void dictionary_set_tail(dictionary *d, const char *text);
// 0, or -1 when d or name is NULL or the entry does not exist.
int dictionary_unset(dictionary *d, const char *name);
// Removes the section entry and all its keys; 0, or -2 when nothing went.
int dictionary_secdel(dictionary *d, const char *sec);
// Renames a section and the prefix of all its keys. -1 (logged) when an entry
// named new exists, -2 when nothing had the old name, else 0.
int dictionary_secrename(dictionary *d, const char *old_name, const char *new_name);
// Slot index of an entry, or -1.
int64_t dictionary_find(const dictionary *d, const char *name);
// Gives the entry in slot i the name (copied); its value, comment and slot
// stay. 0, or -1 (nothing changed) when i is free or memory runs out. The
// caller makes sure no other entry has that name.
int dictionary_rekey(dictionary *d, int64_t i, const char *name);
void dictionary_dump(const dictionary *d, zkfile_t *out);

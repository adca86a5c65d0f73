// Pieces shared by the string containers' own sources; not for other modules.
#pragma once
#include <cstdint>

// Sorts text items under the mode nibble of flags.
void str_items_sort(char **items, uint64_t count, uint32_t flags);
// Sorts, then drops adjacent duplicates (freed when own) and zeroes the
// freed slots. The new count.
uint64_t str_items_sort_uniq(char **items, uint64_t count, uint32_t flags, bool own);
// Next capacity of strv and str_map arrays: 16 from empty, 4x while at most
// 64000, 2x beyond.
uint64_t str_array_next_cap(uint64_t cap);

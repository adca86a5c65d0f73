// mem_stream: memory streams that let a command's output be captured into
// memory (write stream) and read back (read stream). Not locked: each stream
// belongs to one owner at a time.
#pragma once
#include <cstddef>
#include <cstdint>

#include "libpal/memory/pl_mem.h"

// Read stream over a private copy of the bytes.
struct mem_rstream_t {
    uint8_t *data; // owned
    size_t pos;
    size_t size;
};

// Write stream: a growing byte buffer, always NUL-terminated after len.
struct mem_wstream_t {
    mem_buf_t buf;
};

// A read stream over a copy of len bytes (data may be NULL when len is 0);
// NULL when memory runs out. Free with mem_rstream_free.
mem_rstream_t *mem_rstream_new(const void *data, size_t len);
// Copies min(n, size - pos) bytes from pos and advances; 0 at the end.
size_t mem_rstream_read(mem_rstream_t *s, void *out, size_t n);
// The stream takes over b's data (its own is freed; pos 0, size = b's
// length) and b is left empty.
void mem_rstream_set_bbuf(mem_rstream_t *s, mem_buf_t *b);
void mem_rstream_free(mem_rstream_t *s);

// A write stream with room for 4096 bytes; NULL when memory runs out.
mem_wstream_t *mem_wstream_new(void);
// Appends n bytes: n, or -1 when the buffer cannot grow (nothing written).
int64_t mem_wstream_write(mem_wstream_t *s, const void *data, size_t n);
// Length 0 (storage kept).
void mem_wstream_reset(mem_wstream_t *s);
// Hands the written bytes to the caller in *out (NUL-terminated, freed with
// os_free; NULL when nothing was written) and leaves the stream empty.
// Returns the byte count.
size_t mem_wstream_detach(mem_wstream_t *s, char **out);
void mem_wstream_free(mem_wstream_t *s);

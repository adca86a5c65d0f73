// The "physfs" driver's stream over a local archive: the library reads the
// archive through it in aligned blocks.
#include "libvfs/physfs_imp.h"

namespace physfs_drv {

// ---- the archive file as the library reads it -------------------------------------
//
// PhysicsFS reads an archive through a stream record (PHYSFS_Io). Its own
// stream over a local file reads straight from the descriptor, and the zip
// reader takes the central directory at mount, and a member's local header
// the first time the member is looked up, as runs of 2- and 4-byte reads
// after a seek: about ten system calls a member. The stream here reads the
// archive in aligned blocks into a buffer of its own, so that such runs,
// forwards or backwards, cost one pread a block; a read of a block or more
// goes straight to the file.
//
// The library duplicates the stream for every member it opens. All streams
// of one archive share its descriptor, each with its own position and
// buffer: pread leaves the descriptor's offset alone, so they never disturb
// each other. A stream is used by one thread at a time (the library's lock,
// or the one reader of an open member).

constexpr uint64_t k_io_block = 16 * 1024;


struct arc_stream {
    std::shared_ptr<arc_fd> file;
    uint64_t pos = 0;            // where the next read starts
    uint64_t blk_off = 0;        // archive offset of buf[0]
    uint64_t blk_len = 0;        // bytes of buf holding the archive; 0: none
    std::unique_ptr<char[]> buf; // k_io_block bytes, made by the first small read
};

arc_stream *stream_of(PHYSFS_Io *io) { return (arc_stream *)io->opaque; }

// Up to len bytes of the archive at off into dst, over interrupted and
// short reads. The count (short only where the file ends), or -1.
int64_t pread_full(int fd, char *dst, uint64_t len, uint64_t off)
{
    uint64_t got = 0;
    while (got < len) {
        ssize_t n = pread(fd, dst + got, (size_t)std::min<uint64_t>(len - got, SSIZE_MAX), (off_t)(off + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += (uint64_t)n;
    }
    return (int64_t)got;
}

// Reads up to len bytes at the stream's position: the bytes count (0 at
// the end, short where the file ended before the size it had at mount), or
// -1 with the library's error set when nothing could be read.
PHYSFS_sint64 stream_read(PHYSFS_Io *io, void *dst, PHYSFS_uint64 len)
{
    arc_stream *s = stream_of(io);
    const uint64_t size = s->file->size;
    if (s->pos >= size)
        return 0;
    len = std::min<uint64_t>({len, size - s->pos, (uint64_t)INT64_MAX});
    char *out = (char *)dst;
    uint64_t got = 0;
    while (got < len) {
        if (s->blk_len && s->pos >= s->blk_off && s->pos - s->blk_off < s->blk_len) {
            uint64_t n = std::min<uint64_t>(len - got, s->blk_len - (s->pos - s->blk_off));
            memcpy(out + got, s->buf.get() + (s->pos - s->blk_off), n);
            got += n;
            s->pos += n;
            continue;
        }
        PHYSFS_ErrorCode why = PHYSFS_ERR_IO;
        if (len - got >= k_io_block) {
            int64_t n = pread_full(s->file->fd, out + got, len - got, s->pos);
            if (n >= 0) {
                got += (uint64_t)n;
                s->pos += (uint64_t)n;
                break; // all of it, or the file ended
            }
        } else if (!s->buf && !(s->buf = std::unique_ptr<char[]>(new (std::nothrow) char[k_io_block]))) {
            why = PHYSFS_ERR_OUT_OF_MEMORY;
        } else {
            uint64_t at = s->pos - s->pos % k_io_block;
            s->blk_len = 0;
            int64_t n = pread_full(s->file->fd, s->buf.get(), k_io_block, at);
            if (n >= 0) {
                s->blk_off = at;
                s->blk_len = (uint64_t)n;
                if (s->pos - at >= (uint64_t)n)
                    break; // the file ended before the block reached pos
                continue;
            }
        }
        if (got)
            break; // what was read; the next read meets the failure again
        PHYSFS_setErrorCode(why);
        return -1;
    }
    return (PHYSFS_sint64)got;
}

PHYSFS_sint64 stream_write(PHYSFS_Io *, const void *, PHYSFS_uint64)
{
    PHYSFS_setErrorCode(PHYSFS_ERR_READ_ONLY);
    return -1;
}

// A position past the end is refused, as the library expects.
int stream_seek(PHYSFS_Io *io, PHYSFS_uint64 off)
{
    arc_stream *s = stream_of(io);
    if (off > s->file->size) {
        PHYSFS_setErrorCode(PHYSFS_ERR_PAST_EOF);
        return 0;
    }
    s->pos = off;
    return 1;
}

PHYSFS_sint64 stream_tell(PHYSFS_Io *io) { return (PHYSFS_sint64)stream_of(io)->pos; }

PHYSFS_sint64 stream_length(PHYSFS_Io *io) { return (PHYSFS_sint64)stream_of(io)->file->size; }

PHYSFS_Io *stream_new(const std::shared_ptr<arc_fd> &file, uint64_t pos);

PHYSFS_Io *stream_duplicate(PHYSFS_Io *io)
{
    arc_stream *s = stream_of(io);
    PHYSFS_Io *d = stream_new(s->file, s->pos);
    if (!d)
        PHYSFS_setErrorCode(PHYSFS_ERR_OUT_OF_MEMORY);
    return d;
}

int stream_flush(PHYSFS_Io *) { return 1; }

void stream_destroy(PHYSFS_Io *io)
{
    delete stream_of(io);
    delete io;
}

constexpr PHYSFS_Io k_stream = {0,           nullptr,          stream_read,      stream_write, stream_seek,
                                stream_tell, stream_length,    stream_duplicate, stream_flush, stream_destroy};

// A new stream over file at pos (the caller's until handed to the library,
// stream_destroy frees it), or NULL without memory.
PHYSFS_Io *stream_new(const std::shared_ptr<arc_fd> &file, uint64_t pos)
{
    arc_stream *s = new (std::nothrow) arc_stream;
    PHYSFS_Io *io = s ? new (std::nothrow) PHYSFS_Io(k_stream) : nullptr;
    if (!io) {
        delete s;
        return nullptr;
    }
    s->file = file;
    s->pos = pos;
    io->opaque = s;
    return io;
}

// The library's code for a failed open of the archive file.
PHYSFS_ErrorCode open_code(int e)
{
    switch (e) {
    case ENOENT:
    case ENOTDIR:
        return PHYSFS_ERR_NOT_FOUND;
    case EACCES:
    case EPERM:
        return PHYSFS_ERR_PERMISSION;
    case ELOOP:
        return PHYSFS_ERR_SYMLINK_LOOP;
    case ENOMEM:
        return PHYSFS_ERR_OUT_OF_MEMORY;
    default:
        return PHYSFS_ERR_IO;
    }
}

} // namespace physfs_drv

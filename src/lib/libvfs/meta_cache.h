// meta_cache: what a remote driver was told about its entries (stat records
// from listings and stat replies, missing names, extended-attribute answers)
// kept for a short window, so that the kernel's lookups and getattrs that
// follow a listing or a stat need no request.
//
// Keys are mount paths ("/", "/a/b"); runs of '/' and a trailing '/' are
// folded, every other byte is part of a name. Answers older than the window
// are never given out. A directory whose whole listing was read within the
// window also answers "missing" for the names it did not list. The driver
// drops what a change through the mount touches (vfs_mcache_forget and
// friends) before the change returns; a reconnect drops everything. A
// change through one name of a file with further names (hard links, as its
// records say) drops what is known of them all.
// A path with a writer open on it is answered only from stat replies that
// came after its last write (its extended attributes are answered: writes
// add none).
//
// Memory: at most `cap` entries; the oldest made goes first (its directory
// then loses its "whole listing" mark, so no name is wrongly missing).
//
// Thread-safety: every call takes the cache's own mutex; the FUSE thread
// and the heartbeat may call at once.
#pragma once
#include <cstddef>
#include <cstdint>

#include "libpal/basic/pl_verr.h"
#include "libpal/os/posix/os_fs.h"

struct vfs_mcache;

// The window used by the remote drivers (ms) and their entry cap.
constexpr uint32_t VFS_MCACHE_WINDOW_MS = 1000;
constexpr size_t VFS_MCACHE_CAP = 65536;

// A new cache; NULL when out of memory. Free with vfs_mcache_free.
vfs_mcache *vfs_mcache_new(uint32_t window_ms, size_t cap);
void vfs_mcache_free(vfs_mcache *c);

// Clock seam for tests: the monotonic milliseconds the cache stamps with.
// NULL restores os_clock_ms.
void vfs_mcache_set_clock(vfs_mcache *c, uint64_t (*clock)(void));

// ---- stat records ----
enum { VFS_MC_MISS = 0, VFS_MC_HIT = 1, VFS_MC_ABSENT = 2 };
// The answer for path: HIT with *st filled, ABSENT with *err filled (the
// failure the server gave, or "not found" for a name a fresh listing of
// its directory lacked), or MISS. follow: the caller wants the target of a
// final link, so a cached link is a MISS.
int vfs_mcache_get_stat(vfs_mcache *c, const char *path, bool follow, os_file_stat_t *st, vperror_t *err);
// A stat reply (of the entry itself, not a link's target).
void vfs_mcache_put_stat(vfs_mcache *c, const char *path, const os_file_stat_t *st);
// The server said the entry does not exist; err is its answer.
void vfs_mcache_put_absent(vfs_mcache *c, const char *path, const vperror_t *err);
// One entry of a listing of dir (name as listed; "." and ".." and names
// with '/' are skipped).
void vfs_mcache_put_listed(vfs_mcache *c, const char *dir, const char *name, const os_file_stat_t *st);
// As vfs_mcache_put_listed, with the entry's link text (NULL or "" when it
// is no link); "." and ".." are kept as the listing's own first lines.
void vfs_mcache_put_listed2(vfs_mcache *c, const char *dir, const char *name, const os_file_stat_t *st,
                            const char *link);
// dir's listing as its whole listing within the window said it, with what
// changed through the mount since: each(arg, name, st, link) for "." and
// ".." (when that listing had them) and for every name in it, and true.
// false (each not called) when dir's whole listing is not within the window
// or any name in it is not known whole (its stat record changed through
// the mount and not asked for since, a link without its text). A name a
// stat reply brought counts as a listed one. each runs under the cache's
// mutex and must not call into c.
bool vfs_mcache_listing(vfs_mcache *c, const char *dir,
                        void (*each)(void *arg, const char *name, const os_file_stat_t *st, const char *link),
                        void *arg);
// A whole listing of dir (no pattern, read to its end) that began at
// `started` (vfs_mcache_now): names it lacks are missing.
void vfs_mcache_set_listed(vfs_mcache *c, const char *dir, uint64_t started);
// Whether dir's whole listing is within the window.
bool vfs_mcache_listed(vfs_mcache *c, const char *dir);
// For a lookup that would read dir's listing: false (and the attempt
// noted) when dir is neither listed nor tried within the window, so a
// directory too large to read whole, or one that cannot be listed, is
// tried once per window, not once per name.
bool vfs_mcache_fill_due(vfs_mcache *c, const char *dir);
// The cache's clock now.
uint64_t vfs_mcache_now(vfs_mcache *c);

// ---- extended attributes ----
// An answer: code 0 and the value (or the NUL-separated list), or the
// failure's code and message.
struct vfs_mcache_xattr {
    int code;
    uint32_t len;
    const char *data; // value bytes or message; valid until the next call on c
};
// name NULL: the listing. MISS or HIT.
int vfs_mcache_get_xattr(vfs_mcache *c, const char *path, const char *name, vfs_mcache_xattr *out);
// Keeps an answer (values above 64 KiB are not kept).
void vfs_mcache_put_xattr(vfs_mcache *c, const char *path, const char *name, int code, const void *data, uint32_t len);

// For a batch of attribute-list requests ahead of the kernel (after a
// listing it asks the list of every entry, one after another, in the
// listing's order): hands each(arg, path) the mount path of up to max
// entries of path's directory, path itself and those after it in name
// order, that a listing line brought within the window, whose list is not
// known and that no batch asked for since that line came; answers how
// many. Each name handed out is noted, so a listing's names are asked for
// once however long the listing takes. each runs under the cache's mutex
// and must not call into c.
size_t vfs_mcache_xattr_wanted(vfs_mcache *c, const char *path, size_t max, void (*each)(void *arg, const char *path),
                               void *arg);
// A name vfs_mcache_xattr_wanted handed out whose request never went out:
// it may be handed out again.
void vfs_mcache_xattr_unasked(vfs_mcache *c, const char *path);
// As vfs_mcache_put_xattr, with the answer dated `at` (vfs_mcache_now when
// its request went out) instead of now.
void vfs_mcache_put_xattr_at(vfs_mcache *c, const char *path, const char *name, int code, const void *data,
                             uint32_t len, uint64_t at);

// ---- changes ----
// The entry changed (or a request on it failed): its answers go, and its
// name is no longer "missing" by its directory's listing.
void vfs_mcache_forget(vfs_mcache *c, const char *path);
// As forget, for a change of the stat record or the data alone (mode,
// owner, times, size): the answers that an extended attribute is absent
// stay (such a change adds none), as does a directory's listing.
void vfs_mcache_forget_stat(vfs_mcache *c, const char *path);
// As forget, for path and everything beneath it (rename, removal); what
// the name is no longer known either.
void vfs_mcache_forget_tree(vfs_mcache *c, const char *path);
// path and everything beneath it were removed (or renamed away) through
// the mount: the name is missing from now on (unless a writer is still open
// on it), and its directory's listing stays whole without it.
void vfs_mcache_removed(vfs_mcache *c, const char *path);
// path was just made through the mount, of type (OS_FTYPE_FILE or
// OS_FTYPE_DIR), with nothing in it: it has no extended attributes, a
// directory has no entries (names in it are missing; its listing itself,
// "." and ".." included, still comes from the server). Call after forget
// and parent_changed, once the server said it made it.
void vfs_mcache_made(vfs_mcache *c, const char *path, uint32_t type);
// Whether path is a link: 1 or 0 when an answer within the window says
// (the writer rule aside: what a name is does not change while it is
// written), -1 when nothing does.
int vfs_mcache_is_link(vfs_mcache *c, const char *path);
// As forget for path's parent directory, keeping the parent's listing (its
// other names, "." and ".." are still what they were): used when a name in
// it was made, removed or renamed, after forgetting that name.
void vfs_mcache_parent_changed(vfs_mcache *c, const char *path);
// Everything goes.
void vfs_mcache_clear(vfs_mcache *c);
// A writer opened (delta 1, a change of data: forget_stat) or closed (-1) on
// path; while it is open the path's stat is answered only from stat
// replies that came after its last write (vfs_mcache_wrote, called when a
// write goes out). Renames move the writers along.
void vfs_mcache_writer(vfs_mcache *c, const char *path, int delta);
void vfs_mcache_wrote(vfs_mcache *c, const char *path);
void vfs_mcache_writers_renamed(vfs_mcache *c, const char *from, const char *to);

// Number of entries held (tests).
size_t vfs_mcache_size(vfs_mcache *c);

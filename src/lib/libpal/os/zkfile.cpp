// Stream layer start-up and shut-down, the std streams, the driver table,
// the writable-stream list, volumes and crypt hooks.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "libpal/basic/pl_assert.h"
#include "libpal/os/zkfile_imp.h"
#include "libpal/string/str_safe.h"

zkfile_t *zk_stdin = nullptr;
zkfile_t *zk_stdout = nullptr;
zkfile_t *zk_stderr = nullptr;
size_t zkfile_buf_size = 0x40000;

zkfile_drv_t g_zkfile_drv[ZKDRV_COUNT];
zkcrypt_open_fn g_zkcrypt_open = nullptr;
zkcrypt_close_fn g_zkcrypt_close = nullptr;
zkcrypt_do_fn g_zkcrypt_do = nullptr;

namespace {
// Streams come and go on any thread, so the list has a lock of its own.
// Lock order: list, then a stream.
std::mutex s_list_mu;
std::vector<zkfile_t *> *g_write_fp_array = nullptr;
std::vector<void *> *g_vfs_mount_array = nullptr;
const zkfile_drv_t *s_vol_drv = nullptr;
bool s_drv_built = false;

void build_drivers()
{
    for (int i = 0; i < ZKDRV_COUNT; ++i)
        zkfile_drv_build(i, &g_zkfile_drv[i]);
    s_drv_built = true;
}

zkfile_t *open_std(int index, const char *mode)
{
    return zkopen_handle(zkfile_drv_std_handle(index), ZKDRV_FILE, 0, mode);
}

zkfile_t **std_var(int index)
{
    switch (index) {
    case 0: return &zk_stdin;
    case 1: return &zk_stdout;
    case 2: return &zk_stderr;
    default: return nullptr;
    }
}

const char *std_mode(int index) { return index == 0 ? "r" : "w"; }
} // namespace

void zkfile_fatal(const char *expr, const char *file, int line, const char *func)
{
    log2_printf(nullptr, LOG2_ERR, ZK_TAG, file, line, func, "expr[%s]: assert failed\n", expr);
    pl_assert_fatal();
}

void zkfile_lock(zkfile_t *f)
{
    ZK_FATAL_IF(f == nullptr, "f!=NULL");
    ZK_FATAL_IF(f->magic != VFILE_MAGIC, "f->magic==VFILE_MAGIC");
    mutex_lock(f->mutex);
}

void zkfile_unlock(zkfile_t *f) { mutex_unlock(f->mutex); }

// ---- writable-stream list ---------------------------------------------------------

void zkfile_list_add(zkfile_t *f)
{
    std::lock_guard<std::mutex> g(s_list_mu);
    if (g_write_fp_array)
        g_write_fp_array->push_back(f);
}

void zkfile_list_del(zkfile_t *f)
{
    std::lock_guard<std::mutex> g(s_list_mu);
    if (!g_write_fp_array)
        return;
    auto &v = *g_write_fp_array;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] == f) {
            v.erase(v.begin() + (long)i);
            return;
        }
    }
}

bool zkfile_list_ready(void)
{
    std::lock_guard<std::mutex> g(s_list_mu);
    return g_write_fp_array != nullptr;
}

int zkflush(zkfile_t *f)
{
    if (f) {
        ZKLOCK(f);
        int r = zkfile_flush_unlocked(f);
        ZKUNLOCK(f);
        return r;
    }
    std::lock_guard<std::mutex> g(s_list_mu);
    if (g_write_fp_array) {
        for (zkfile_t *s : *g_write_fp_array) {
            ZKLOCK(s);
            zkfile_flush_unlocked(s);
            ZKUNLOCK(s);
        }
    }
    return 0;
}

// ---- start-up and shut-down ---------------------------------------------------------

int zkfile_init(void)
{
    {
        std::lock_guard<std::mutex> g(s_list_mu);
        if (g_write_fp_array)
            return 0;
        g_write_fp_array = new (std::nothrow) std::vector<zkfile_t *>();
        ZK_FATAL_IF(g_write_fp_array == nullptr, "g_write_fp_array!=NULL");
        g_vfs_mount_array = new (std::nothrow) std::vector<void *>();
        ZK_FATAL_IF(g_vfs_mount_array == nullptr, "g_vfs_mount_array!=NULL");
    }
    build_drivers();
    for (int i = 0; i < 3; ++i)
        *std_var(i) = open_std(i, std_mode(i));
    return 0;
}

int zkfile_exit(void)
{
    zkflush(nullptr);
    for (int i = 0; i < 3; ++i) {
        zkfile_t **v = std_var(i);
        if (*v)
            zkclose(*v);
        *v = nullptr;
    }
    std::lock_guard<std::mutex> g(s_list_mu);
    delete g_write_fp_array;
    g_write_fp_array = nullptr;
    delete g_vfs_mount_array;
    g_vfs_mount_array = nullptr;
    return 0;
}

int zkfile_init_std_env(void)
{
    for (int i = 0; i < 3; ++i) {
        zkfile_t **v = std_var(i);
        if (!*v) {
            *v = open_std(i, std_mode(i));
            ZK_FATAL_IF(*v == nullptr, i == 0 ? "zk_stdin!=NULL" : i == 1 ? "zk_stdout!=NULL" : "zk_stderr!=NULL");
        }
    }
    zkseek(zk_stdin, 0, 0);
    return 0;
}

int zkfile_set_std_handle(int index, intptr_t h)
{
    zkfile_t **v = std_var(index);
    if (!v || !*v)
        return -1;
    zkfile_t *f = *v;
    ZKLOCK(f);
    // What was buffered belongs to the old target.
    zkfile_flush_unlocked(f);
    f->handle = h;
    ZKUNLOCK(f);
    return 0;
}

void zkfile_set_rw_bsize(size_t size)
{
    if (size < 0x40000)
        LOG_WARN(ZK_TAG, "bs=%d error: may too small\n", (int)size);
    // A stream needs a few bytes to read ahead at all.
    zkfile_buf_size = size < 16 ? 16 : size;
}

const zkfile_drv_t *zkfile_get_drv(int index)
{
    if (index < 0 || index >= ZKDRV_COUNT)
        return nullptr;
    if (!s_drv_built)
        build_drivers();
    return &g_zkfile_drv[index];
}

void zkfile_set_file_drv(const zkfile_drv_t *drv)
{
    zkfile_drv_t &d = g_zkfile_drv[ZKDRV_FILE];
    if (!drv) {
        zkfile_drv_build(ZKDRV_FILE, &d);
        return;
    }
    d.open = drv->open;
    d.close = drv->close;
    d.seek = drv->seek;
    d.read = drv->read;
    d.write = drv->write;
    d.flush = drv->flush;
    d.context = drv->context;
}

void zkfile_check_api(void)
{
    if (!zkfile_list_ready()) {
        LOG_WARN(ZK_TAG, "pl_init must call..\n");
        pl_init();
        if (!zkfile_list_ready())
            zkfile_init();
    }
    if (!s_drv_built)
        build_drivers();
}

// ---- volumes ------------------------------------------------------------------------

void zkfile_vfs_set_drv(const zkfile_drv_t *drv)
{
    ZK_FATAL_IF(drv == nullptr, "drv != NULL");
    ZK_FATAL_IF(drv->mount == nullptr, "drv->mount != NULL");
    ZK_FATAL_IF(drv->release == nullptr, "drv->umount != NULL");
    s_vol_drv = drv;
}

int zkfile_vfs_mount(const char *path, char *idx, size_t idx_size)
{
    if (!s_vol_drv || !path)
        return -1;
    vperror_t err{};
    void *vol = s_vol_drv->mount(path, &err);
    if (!vol) {
        LOG_ERR(ZK_TAG, "mount [%s] error: %s\n", path, err.msg);
        return -1;
    }
    size_t n;
    {
        std::lock_guard<std::mutex> g(s_list_mu);
        if (!g_vfs_mount_array) {
            s_vol_drv->release(vol);
            return -1;
        }
        g_vfs_mount_array->push_back(vol);
        n = g_vfs_mount_array->size() - 1;
    }
    if (idx && idx_size)
        str_sprintf_s2(idx, idx_size, "%d", (int)n);
    return 0;
}

int zkfile_vfs_umount(const char *idx)
{
    if (!idx)
        return -1;
    char *end = nullptr;
    long n = strtol(idx, &end, 10);
    void *vol;
    {
        std::lock_guard<std::mutex> g(s_list_mu);
        if (end == idx || n < 0 || !g_vfs_mount_array || (size_t)n >= g_vfs_mount_array->size())
            return -1;
        vol = (*g_vfs_mount_array)[(size_t)n];
        g_vfs_mount_array->erase(g_vfs_mount_array->begin() + n);
    }
    if (s_vol_drv && s_vol_drv->release)
        s_vol_drv->release(vol);
    return 0;
}

void zkfile_vfs_umount_all(void)
{
    std::vector<void *> vols;
    {
        std::lock_guard<std::mutex> g(s_list_mu);
        if (g_vfs_mount_array)
            vols.swap(*g_vfs_mount_array);
    }
    if (s_vol_drv && s_vol_drv->release)
        for (void *v : vols)
            s_vol_drv->release(v);
}

namespace {
// Offset of the separator after ".zip" / ".7z" (any case), or -1.
long archive_split(const char *path)
{
    for (const char *p = path; *p; ++p) {
        if (*p != '.')
            continue;
        size_t ext = 0;
        if (strncasecmp(p, ".zip", 4) == 0)
            ext = 4;
        else if (strncasecmp(p, ".7z", 3) == 0)
            ext = 3;
        if (ext && (p[ext] == '/' || p[ext] == '\\'))
            return (long)(p - path) + (long)ext;
    }
    return -1;
}
} // namespace

intptr_t zkfile_vfs_open(const char *path, uint32_t pf, const zkfile_drv_t **drv, void **aux, int *numbered)
{
    *aux = nullptr;
    *numbered = 0;
    if (path[0] >= '0' && path[0] <= '9' && path[1] == ':') {
        int n = path[0] - '0';
        void *vol = nullptr;
        int count;
        {
            std::lock_guard<std::mutex> g(s_list_mu);
            count = g_vfs_mount_array ? (int)g_vfs_mount_array->size() : 0;
            if (n < count)
                vol = (*g_vfs_mount_array)[(size_t)n];
        }
        if (n >= count) {
            LOG_ERR(ZK_TAG, "vol_idx=%d > max_vol_count=%d\n", n, count);
            return 0;
        }
        if (!s_vol_drv || !s_vol_drv->open)
            return 0;
        intptr_t h = s_vol_drv->open(vol, path + 2, pf);
        if (h) {
            *drv = s_vol_drv;
            *aux = vol;
            *numbered = 1;
        }
        return h;
    }
    if (!s_vol_drv || !s_vol_drv->open)
        return -1;
    long cut = archive_split(path);
    if (cut < 0)
        return -1;
    char archive[4096];
    if ((size_t)cut >= sizeof(archive))
        return 0;
    memcpy(archive, path, (size_t)cut);
    archive[cut] = '\0';
    vperror_t err{};
    void *vol = s_vol_drv->mount(archive, &err);
    if (!vol) {
        LOG_ERR(ZK_TAG, "mount [%s] error: %s\n", archive, err.msg);
        return 0;
    }
    intptr_t h = s_vol_drv->open(vol, path + cut + 1, pf);
    if (!h) {
        s_vol_drv->release(vol);
        return 0;
    }
    *drv = s_vol_drv;
    *aux = vol;
    return h;
}

// ---- crypt hooks ------------------------------------------------------------------------

void zkfile_set_crypt_func(zkcrypt_open_fn o, zkcrypt_close_fn c, zkcrypt_do_fn d)
{
    ZK_FATAL_IF(o == nullptr, "_o!=NULL");
    ZK_FATAL_IF(c == nullptr, "_c!=NULL");
    ZK_FATAL_IF(d == nullptr, "_d!=NULL");
    g_zkcrypt_open = o;
    g_zkcrypt_close = c;
    g_zkcrypt_do = d;
}

int zkfile_set_crypt(zkfile_t *f, const char *alg, const char *key)
{
    if (!g_zkcrypt_open || !g_zkcrypt_close || !g_zkcrypt_do)
        return -1;
    void *ctx = g_zkcrypt_open(alg ? alg : "", key ? key : "");
    if (!ctx)
        return -1;
    ZKLOCK(f);
    void *old = f->crypt;
    f->crypt = ctx;
    ZKUNLOCK(f);
    if (old)
        g_zkcrypt_close(old);
    return 0;
}

int zkfileno(zkfile_t *f)
{
    ZKLOCK(f);
    int fd = -1;
    if (!f->handle)
        fd = 0;
    else if (f->drv == &g_zkfile_drv[ZKDRV_FILE])
        fd = zkfile_drv_file_fd(f->handle);
    else if (f->drv == &g_zkfile_drv[ZKDRV_FD])
        fd = (int)f->handle;
    ZKUNLOCK(f);
    return fd;
}

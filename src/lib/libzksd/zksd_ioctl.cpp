// zksd text ioctl channels: the handle ioctl (command 20, code and text,
// no answer) and ioctl2 (command 8, code and data, answer data), and the
// path, file and server operations that travel over them.
#include <cstdarg>
#include <cstring>
#include <memory>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"
#include "libpal/vfile/os_file2.h"
#include "libpwd/libpwd.h"
#include "libzksd/zksd_cli_imp.h"
#include "liblog/log2.h"

#define TAG SDCLI_TAG

using namespace zksd_imp;

namespace {

constexpr size_t k_text_size = 3 * 4096 + 256;
constexpr size_t k_settings_size = 8182;

// Texts travel as tab-separated fields: a TAB or line end in a name would
// split it on the server.
bool names_ok(cli_ctx *ctx, std::initializer_list<const char *> names)
{
    for (const char *s : names) {
        if (!s || strpbrk(s, "\t\r\n")) {
            fail_status(ctx, VERR_INVALID_PARAMETER, s ? "name holds a tab or a line end" : nullptr);
            return false;
        }
    }
    return true;
}

// Formats the text of an operation (strict: a text that does not fit is refused).
__attribute__((format(printf, 3, 4))) bool fmt_text(cli_ctx *ctx, char *out, const char *fmt, ...)
{
    va_list va;
    va_start(va, fmt);
    int n = str_vsprintf_s(out, k_text_size, fmt, va);
    va_end(va);
    if (!STR_FMT_OK(n, k_text_size)) {
        fail_status(ctx, VERR_INVALID_PARAMETER, "argument too long");
        return false;
    }
    return true;
}

// The text "first<TAB>second" of two names, both checked.
bool pair_text(cli_ctx *ctx, char *out, const char *first, const char *second)
{
    return names_ok(ctx, {first, second}) && fmt_text(ctx, out, "%s\t%s", first, second);
}

// A handle ioctl text operation on descriptor fd.
int text_op(cli_ctx *ctx, int64_t fd, int code, const char *text)
{
    return finish(ctx, cli_file_ioctl(ctx, fd, code, text, (int)strlen(text) + 1));
}

int path_op(cli_ctx *ctx, int code, const char *path)
{
    PL_ASSERT_RET(TAG, ctx, -1);
    if (!names_ok(ctx, {path}))
        return -1;
    return text_op(ctx, 0, code, path);
}

// "%s\t%u" path operations.
int path_u_op(cli_ctx *ctx, int code, const char *path, unsigned v)
{
    PL_ASSERT_RET(TAG, ctx, -1);
    char text[k_text_size];
    if (!names_ok(ctx, {path}) || !fmt_text(ctx, text, "%s\t%u", path, v))
        return -1;
    return text_op(ctx, 0, code, text);
}

int path_uu_op(cli_ctx *ctx, int code, const char *path, unsigned a, unsigned b)
{
    PL_ASSERT_RET(TAG, ctx, -1);
    char text[k_text_size];
    if (!names_ok(ctx, {path}) || !fmt_text(ctx, text, "%s\t%u\t%u", path, a, b))
        return -1;
    return text_op(ctx, 0, code, text);
}

int path_times_op(cli_ctx *ctx, int code, const char *path, const zksd_file_times_t *t)
{
    PL_ASSERT_RET(TAG, ctx && t, -1);
    char text[k_text_size];
    if (!names_ok(ctx, {path}) ||
        !fmt_text(ctx, text, "%s\t%lu\t%lu\t%lu\t%u\t%u\t%u", path, (unsigned long)t->time_access,
                  (unsigned long)t->time_write, (unsigned long)t->time_create, t->time_access_ns, t->time_write_ns,
                  t->time_create_ns))
        return -1;
    return text_op(ctx, 0, code, text);
}

// ioctl2 answering into buf (size bytes) as a NUL-terminated text: the kept
// length or -1.
int answer_op(cli_ctx *ctx, int64_t fd, int code, const char *text, char *buf, size_t size)
{
    PL_ASSERT_RET(TAG, ctx && buf && size > 0, -1);
    int ret = cli_ioctl2_text(ctx, fd, code, text, buf, size);
    if (finish(ctx, ret) != 0)
        return -1;
    return (int)strnlen(buf, size); // the kept length is what the text holds
}

// ioctl2 whose answer (binary, NUL-separated lists) goes into buf, cut to
// size - 1 bytes and NUL-terminated: the kept length or -1.
int answer_len(cli_ctx *ctx, int code, const char *text, char *buf, size_t size)
{
    const uint8_t *p = nullptr;
    int n = 0;
    const int olen = size - 1 > INT32_MAX ? INT32_MAX : (int)(size - 1);
    int ret = cli_ioctl2_imp(ctx, 0, code, text, -1, olen, &p, &n);
    if (ret == ZKSD_OK) {
        memcpy(buf, p, (size_t)n);
        buf[n] = '\0';
    }
    return finish(ctx, ret) == 0 ? n : -1;
}

// ioctl2 whose answer must fit out (size bytes with its NUL) whole.
int answer_whole(cli_ctx *ctx, int code, const char *text, char *out, size_t size)
{
    const uint8_t *p = nullptr;
    int n = 0;
    int olen = size > INT32_MAX ? INT32_MAX : (int)size;
    int ret = cli_ioctl2_imp(ctx, 0, code, text, -1, olen, &p, &n);
    if (ret == ZKSD_OK && (size_t)n >= size)
        ret = ZKSD_DATA_ERR;
    if (ret == ZKSD_OK) {
        memcpy(out, p, (size_t)n);
        out[n] = '\0';
    }
    return finish(ctx, ret);
}

// A file handle's context, checked.
cli_ctx *file_ctx(cli_file_ctx *h) { return h && h->kind == ZKSD_KIND_FILE ? h->ctx : nullptr; }

int file_text_op(cli_file_ctx *h, int code, const char *text)
{
    cli_ctx *ctx = file_ctx(h);
    PL_ASSERT_RET(TAG, ctx, -1);
    return text_op(ctx, h->fd, code, text);
}

} // namespace

// ---- the channels -------------------------------------------------------------------------------

namespace zksd_imp {

int cli_file_ioctl(cli_ctx *ctx, int64_t fd, int code, const void *data, int len)
{
    if (len < 0)
        len = data ? (int)strlen((const char *)data) + 1 : 0;
    req_t r(ctx);
    r.u64("fd", (uint64_t)fd).u32("cmd", (uint32_t)code).u32("len", (uint32_t)len).bin("data", data, (size_t)len);
    blob_attr *tb[2];
    return r.run(ZKSD_CMD_IOCTL, k_pol_plain, 2, tb);
}

int cli_ioctl2_imp(cli_ctx *ctx, int64_t fd, int code, const void *data, int len, int olen, const uint8_t **out,
                   int *outlen)
{
    if (len < 0)
        len = data ? (int)strlen((const char *)data) + 1 : 0;
    req_t r(ctx);
    r.u64("fd", (uint64_t)fd).u32("cmd", (uint32_t)code).bin("data", data, (size_t)len).u32("olen", (uint32_t)olen);
    int ret = r.send(ZKSD_CMD_IOCTL2);
    if (ret == ZKSD_OK && code == ZKSD_IOCTL2_ATTACH_CTX_REPLY)
        zksd_await_retarget(ctx, ctx->last_cmd); // the kept reply comes in its place
    if (ret != ZKSD_OK || code == ZKSD_IOCTL2_ATTACH_CTX_REPLY)
        return ret;
    // A break while a recovery step is read must not start another recovery.
    const bool ctl = code >= ZKSD_IOCTL2_CTL_FIRST && code <= ZKSD_IOCTL2_CTL_LAST;
    const uint8_t keep = ctx->auto_reconnect;
    if (ctl)
        ctx->auto_reconnect = 0;
    int rlen = 0;
    ret = client_recv_response(ctx, &rlen);
    if (ctl)
        ctx->auto_reconnect = keep;
    if (ret != ZKSD_OK)
        return ret;
    blob_attr *tb[3];
    ret = zksd_reply_parse(ctx, k_pol_data, 3, tb);
    if (ret != ZKSD_OK)
        return ret;
    uint32_t n = blobmsg_data_len(tb[2]);
    if (olen >= 0 && n > (uint32_t)olen)
        n = (uint32_t)olen;
    if (out)
        *out = blobmsg_data(tb[2]);
    if (outlen)
        *outlen = (int)n;
    return ZKSD_OK;
}

int cli_ioctl2_text(cli_ctx *ctx, int64_t fd, int code, const char *data, char *out, size_t size)
{
    const uint8_t *p = nullptr;
    int n = 0;
    const int olen = size - 1 > INT32_MAX ? INT32_MAX : (int)(size - 1);
    int ret = cli_ioctl2_imp(ctx, fd, code, data, data ? -1 : 0, olen, &p, &n);
    if (ret == ZKSD_OK) {
        memcpy(out, p, (size_t)n);
        out[n] = '\0';
    } else {
        out[0] = '\0';
    }
    return ret;
}

} // namespace zksd_imp

int zksd_cli_ioctl(void *handle, int code, void *data, int len)
{
    int64_t fd = 0;
    cli_ctx *ctx = cli_get_ctx(handle, &fd);
    PL_ASSERT_RET(TAG, ctx, -1);
    switch (code) {
    case ZKSD_IOC_ERROR_CLASS:
        PL_ASSERT_RET(TAG, data, -1);
        *(uint64_t *)data = (uint64_t)os_file_error_class(ctx->os_type, ctx->srv_errno);
        return 0;
    case ZKSD_IOC_FILE_INFO:
    case ZKSD_IOC_FSTAT:
    case ZKSD_IOC_FUTIME:
    case ZKSD_IOC_FLOCK:
        PL_ASSERT_RET(TAG, data, -1);
        return finish(ctx, cli_handle_cmd(ctx, fd, code, data));
    default:
        break;
    }
    int ret = cli_file_ioctl(ctx, fd, code, data, len);
    if (ret == ZKSD_OK && code == ZKSD_IOC_SET_CODEC) {
        // The server took the codec: make it here (also when the name stays).
        // The name as sent, up to its NUL and at most 15 characters.
        size_t n = data && len > 0 ? strnlen((const char *)data, (size_t)len) : 0;
        if (n >= sizeof ctx->comp.name)
            n = sizeof ctx->comp.name - 1;
        memcpy(ctx->comp.name, data ? data : "", n);
        ctx->comp.name[n] = '\0';
        if (sdcomp_setup(&ctx->comp) != 0 || !ctx->comp.codec) {
            LOG_DBG(TAG, "cli_ioctl_imp ret=%d\n", -1);
            ret = ZKSD_UNPACK_ERR;
        }
    }
    return finish(ctx, ret);
}

int zksd_cli_ioctl2(void *handle, int code, const void *data, int len, void *out, int olen, int *outlen)
{
    int64_t fd = 0;
    cli_ctx *ctx = cli_get_ctx(handle, &fd);
    PL_ASSERT_RET(TAG, ctx && olen >= 0, -1);
    const uint8_t *p = nullptr;
    int n = 0;
    int ret = cli_ioctl2_imp(ctx, fd, code, data, len, olen, &p, &n);
    if (ret == ZKSD_OK && out && p) {
        memcpy(out, p, (size_t)n);
        if (n < olen)
            ((char *)out)[n] = '\0';
    }
    if (outlen)
        *outlen = ret == ZKSD_OK ? n : 0;
    return finish(ctx, ret);
}

int zksd_cli_ioctl2_ptr(void *handle, int code, const void *data, int len, int olen, const void **out, int *outlen)
{
    int64_t fd = 0;
    cli_ctx *ctx = cli_get_ctx(handle, &fd);
    PL_ASSERT_RET(TAG, ctx && out, -1);
    const uint8_t *p = nullptr;
    int n = 0;
    int ret = cli_ioctl2_imp(ctx, fd, code, data, len, olen, &p, &n);
    *out = ret == ZKSD_OK ? p : nullptr;
    if (outlen)
        *outlen = ret == ZKSD_OK ? n : 0;
    return finish(ctx, ret);
}

// ---- path operations over the handle ioctl ----------------------------------------------------------

int zksd_cli_getcwd_send(cli_ctx *ctx, const char *buf) { return path_op(ctx, ZKSD_IOC_GETCWD, buf); }
int zksd_cli_chdir(cli_ctx *ctx, const char *path) { return path_op(ctx, ZKSD_IOC_CHDIR, path); }
int zksd_cli_create_file(cli_ctx *ctx, const char *path) { return path_op(ctx, ZKSD_IOC_CREATE_FILE, path); }
int zksd_cli_create_dir(cli_ctx *ctx, const char *path) { return path_op(ctx, ZKSD_IOC_CREATE_DIR, path); }
int zksd_cli_rmdir(cli_ctx *ctx, const char *path) { return path_op(ctx, ZKSD_IOC_RMDIR, path); }
int zksd_cli_unlink(cli_ctx *ctx, const char *path) { return path_op(ctx, ZKSD_IOC_UNLINK, path); }
int zksd_cli_path_op(cli_ctx *ctx, const char *path) { return path_op(ctx, ZKSD_IOC_PATH_OP, path); }

int zksd_cli_op_10200(cli_ctx *ctx)
{
    PL_ASSERT_RET(TAG, ctx, -1);
    return finish(ctx, cli_file_ioctl(ctx, 0, ZKSD_IOC_OP_10200, nullptr, 0));
}

int zksd_cli_rename(cli_ctx *ctx, const char *oldpath, const char *newpath, unsigned replace)
{
    PL_ASSERT_RET(TAG, ctx, -1);
    char text[k_text_size];
    if (!names_ok(ctx, {oldpath, newpath}) || !fmt_text(ctx, text, "%s\t%s\t%u", oldpath, newpath, replace))
        return -1;
    return text_op(ctx, 0, ZKSD_IOC_RENAME, text);
}

int zksd_cli_set_attrib(cli_ctx *ctx, const char *path, unsigned attrib) { return path_u_op(ctx, ZKSD_IOC_SET_ATTRIB, path, attrib); }
int zksd_cli_access(cli_ctx *ctx, const char *path, unsigned mode) { return path_u_op(ctx, ZKSD_IOC_ACCESS, path, mode); }
int zksd_cli_mkdir(cli_ctx *ctx, const char *path, unsigned mode) { return path_u_op(ctx, ZKSD_IOC_MKDIR, path, mode); }
int zksd_cli_mkfifo(cli_ctx *ctx, const char *path, unsigned mode) { return path_u_op(ctx, ZKSD_IOC_MKFIFO, path, mode); }
int zksd_cli_chmod(cli_ctx *ctx, const char *path, unsigned mode) { return path_u_op(ctx, ZKSD_IOC_CHMOD, path, mode); }
int zksd_cli_lchmod(cli_ctx *ctx, const char *path, unsigned mode) { return path_u_op(ctx, ZKSD_IOC_LCHMOD, path, mode); }
int zksd_cli_chown(cli_ctx *ctx, const char *path, unsigned uid, unsigned gid)
{
    return path_uu_op(ctx, ZKSD_IOC_CHOWN, path, uid, gid);
}
int zksd_cli_lchown(cli_ctx *ctx, const char *path, unsigned uid, unsigned gid)
{
    return path_uu_op(ctx, ZKSD_IOC_LCHOWN, path, uid, gid);
}
int zksd_cli_utime(cli_ctx *ctx, const char *path, const zksd_file_times_t *t)
{
    return path_times_op(ctx, ZKSD_IOC_UTIME, path, t);
}
int zksd_cli_utimens(cli_ctx *ctx, const char *path, const zksd_file_times_t *t)
{
    return path_times_op(ctx, ZKSD_IOC_UTIMENS, path, t);
}

int zksd_cli_mknod(cli_ctx *ctx, const char *path, unsigned mode, unsigned long long dev)
{
    PL_ASSERT_RET(TAG, ctx, -1);
    char text[k_text_size];
    if (!names_ok(ctx, {path}) || !fmt_text(ctx, text, "%s\t%u\t%llu", path, mode, dev))
        return -1;
    return text_op(ctx, 0, ZKSD_IOC_MKNOD, text);
}

// "%s\t%s" operations of the handle ioctl.
static int two_path_op(cli_ctx *ctx, int code, const char *first, const char *second)
{
    PL_ASSERT_RET(TAG, ctx, -1);
    char text[k_text_size];
    return pair_text(ctx, text, first, second) ? text_op(ctx, 0, code, text) : -1;
}

int zksd_cli_link(cli_ctx *ctx, const char *oldpath, const char *newpath)
{
    return two_path_op(ctx, ZKSD_IOC_LINK, newpath, oldpath);
}

int zksd_cli_symlink(cli_ctx *ctx, const char *target, const char *linkpath)
{
    return two_path_op(ctx, ZKSD_IOC_SYMLINK, linkpath, target);
}

int zksd_cli_truncate(cli_ctx *ctx, const char *path, long size)
{
    PL_ASSERT_RET(TAG, ctx, -1);
    char text[k_text_size];
    if (!names_ok(ctx, {path}) || !fmt_text(ctx, text, "%s\t%li", path, size))
        return -1;
    return text_op(ctx, 0, ZKSD_IOC_TRUNCATE, text);
}

static int path_flag_op(cli_ctx *ctx, int code, const char *path, int flag)
{
    PL_ASSERT_RET(TAG, ctx, -1);
    if (!zksd_cli_ver_at_least(ctx, "1.7.8"))
        return -1;
    char text[k_text_size];
    if (!names_ok(ctx, {path}) || !fmt_text(ctx, text, "%s\t%d", path, flag))
        return -1;
    return text_op(ctx, 0, code, text);
}

int zksd_cli_rmdir2(cli_ctx *ctx, const char *path, int flag) { return path_flag_op(ctx, ZKSD_IOC_RMDIR2, path, flag); }
int zksd_cli_remove2(cli_ctx *ctx, const char *path, int flag) { return path_flag_op(ctx, ZKSD_IOC_REMOVE2, path, flag); }

// ---- open-file operations ------------------------------------------------------------------------------

// Sets one of an open file's time-outs on the server; `what` names it in
// the warning a refusal gives.
static int fd_timeout_op(cli_file_ctx *h, int code, const char *what, int ms)
{
    char text[32];
    str_sprintf_s(text, sizeof text, "%d", ms);
    int r = file_text_op(h, code, text);
    if (r != 0)
        LOG_WARN(TAG, "warn: %s %s\n", what, zksd_cli_errstr(h));
    return r;
}

int zksd_cli_set_fd_read_timeout(cli_file_ctx *h, int ms) { return fd_timeout_op(h, ZKSD_IOC_FD_READ_TIMEOUT, "set_read_timeout", ms); }

int zksd_cli_set_fd_write_timeout(cli_file_ctx *h, int ms)
{
    return fd_timeout_op(h, ZKSD_IOC_FD_WRITE_TIMEOUT, "set_write_timeout", ms);
}

int zksd_cli_frename(cli_file_ctx *h, const char *newname, unsigned replace)
{
    cli_ctx *ctx = file_ctx(h);
    PL_ASSERT_RET(TAG, ctx, -1);
    char text[k_text_size];
    if (!names_ok(ctx, {newname}) || !fmt_text(ctx, text, "%s\t%u", newname, replace))
        return -1;
    return text_op(ctx, h->fd, ZKSD_IOC_FRENAME, text);
}

static int file_num_op(cli_file_ctx *h, int code, const char *fmt, unsigned a, unsigned b)
{
    char text[64];
    str_sprintf_s(text, sizeof text, fmt, a, b);
    return file_text_op(h, code, text);
}

int zksd_cli_fchmod(cli_file_ctx *h, unsigned mode) { return file_num_op(h, ZKSD_IOC_FCHMOD, "%u", mode, 0); }
int zksd_cli_fchown(cli_file_ctx *h, unsigned uid, unsigned gid) { return file_num_op(h, ZKSD_IOC_FCHOWN, "%u\t%u", uid, gid); }
int zksd_cli_set_delete_on_close(cli_file_ctx *h, unsigned flag) { return file_num_op(h, ZKSD_IOC_DELETE_ON_CLOSE, "%u", flag, 0); }

// ---- answering operations over ioctl2 --------------------------------------------------------------------

int zksd_cli_readlink(cli_ctx *ctx, const char *path, char *buf, size_t size)
{
    if (!names_ok(ctx, {path}))
        return -1;
    return answer_op(ctx, 0, ZKSD_IOCTL2_READLINK, path, buf, size);
}

int zksd_cli_listxattr(cli_ctx *ctx, const char *path, char *buf, size_t size)
{
    PL_ASSERT_RET(TAG, ctx && buf && size > 0, -1);
    if (!names_ok(ctx, {path}))
        return -1;
    return answer_len(ctx, ZKSD_IOCTL2_LISTXATTR, path, buf, size); // NUL-separated names
}

int zksd_cli_getxattr(cli_ctx *ctx, const char *path, const char *name, char *buf, size_t size)
{
    PL_ASSERT_RET(TAG, ctx && buf && size > 0, -1);
    char text[k_text_size];
    return pair_text(ctx, text, path, name) ? answer_len(ctx, ZKSD_IOCTL2_GETXATTR, text, buf, size) : -1;
}

int zksd_cli_removexattr(cli_ctx *ctx, const char *path, const char *name)
{
    PL_ASSERT_RET(TAG, ctx, -1);
    char text[k_text_size];
    if (!pair_text(ctx, text, path, name))
        return -1;
    return finish(ctx, cli_ioctl2_imp(ctx, 0, ZKSD_IOCTL2_REMOVEXATTR, text, -1, 0, nullptr, nullptr));
}

int zksd_cli_statvfs(cli_ctx *ctx, const char *path, uint64_t out[11])
{
    PL_ASSERT_RET(TAG, ctx && out, -1);
    if (!names_ok(ctx, {path}))
        return -1;
    char ans[1024];
    int ret = cli_ioctl2_text(ctx, 0, ZKSD_IOCTL2_STATVFS, path, ans, sizeof ans);
    if (ret == ZKSD_OK) {
        int i = 0;
        char *save = nullptr;
        for (char *t = strtok_r(ans, "\t", &save); t; t = strtok_r(nullptr, "\t", &save)) {
            if (i >= 11 || !parse_u64(t, &out[i])) {
                i = -1;
                break;
            }
            i++;
        }
        if (i != 11)
            ret = ZKSD_DATA_ERR;
    }
    return finish(ctx, ret);
}

int zksd_cli_umask(cli_ctx *ctx, unsigned mask, unsigned *old)
{
    PL_ASSERT_RET(TAG, ctx, -1);
    char text[32], ans[64];
    str_sprintf_s(text, sizeof text, "%x", mask);
    int ret = cli_ioctl2_text(ctx, 0, ZKSD_IOCTL2_UMASK, text, ans, sizeof ans);
    uint64_t v = 0;
    if (ret == ZKSD_OK && old) {
        if (!parse_x64(ans, &v) || v > UINT32_MAX)
            ret = ZKSD_DATA_ERR;
        else
            *old = (unsigned)v;
    }
    return finish(ctx, ret);
}

int zksd_cli_chdir_mt(cli_ctx *ctx, char *cwd, size_t size, const char *path)
{
    PL_ASSERT_RET(TAG, ctx && cwd && size > 0, -1);
    char text[k_text_size];
    return pair_text(ctx, text, cwd, path) ? answer_whole(ctx, ZKSD_IOCTL2_CHDIR_MT, text, cwd, size) : -1;
}

int zksd_cli_realpath_mt(cli_ctx *ctx, const char *cwd, const char *path, char *out, size_t size)
{
    PL_ASSERT_RET(TAG, ctx && out && size > 0, -1);
    char text[k_text_size];
    return pair_text(ctx, text, cwd, path) ? answer_whole(ctx, ZKSD_IOCTL2_REALPATH_MT, text, out, size) : -1;
}

int zksd_cli_get_settings(cli_ctx *ctx, char *buf, size_t size)
{
    return answer_op(ctx, 0, ZKSD_IOCTL2_GET_SETTINGS, nullptr, buf, size) < 0 ? -1 : 0;
}

int zksd_cli_set_settings(cli_ctx *ctx, const char *text)
{
    PL_ASSERT_RET(TAG, ctx && text, -1);
    if (ctx->lkey[0] == '\0')
        return fail_status(ctx, VERR_INVALID_PARAMETER, "server settings need a key login");
    std::unique_ptr<char[]> buf(new (std::nothrow) char[k_settings_size]);
    if (!buf)
        return finish(ctx, ZKSD_MEM_ERR);
    if (str_safecopy(buf.get(), k_settings_size, text) != 0)
        return fail_status(ctx, VERR_INVALID_PARAMETER, "settings text too long");
    char user[1024], pwd[1024];
    if (str_kv_get_line(buf.get(), "user", user, sizeof user) == 0 &&
        str_kv_get_line(buf.get(), "passwd", pwd, sizeof pwd) == 0) {
        char enc[2048];
        if (libpwd_encode_value(user, ctx->lkey, enc, sizeof enc) != 0 ||
            str_kv_set(buf.get(), k_settings_size, "\n", 1, "user", enc) != 0 ||
            libpwd_encode_value(pwd, ctx->lkey, enc, sizeof enc) != 0 ||
            str_kv_set(buf.get(), k_settings_size, "\n", 1, "passwd", enc) != 0)
            return fail_status(ctx, VERR_INVALID_PARAMETER, "settings text too long");
    }
    return finish(ctx, cli_ioctl2_imp(ctx, 0, ZKSD_IOCTL2_SET_SETTINGS, buf.get(), -1, 0, nullptr, nullptr));
}

int zksd_cli_allow_set_readonly(cli_ctx *ctx)
{
    PL_ASSERT_RET(TAG, ctx, -1);
    if (str_version_cmp(ctx->srv_ver, "1.6.1") < 0)
        return 0;
    char ans[ZKSD_ANSWER_SIZE], v[64];
    if (zksd_cli_get_settings(ctx, ans, sizeof ans) != 0)
        return -1;
    return str_kv_get_line(ans, "allow_set_readonly", v, sizeof v) == 0 && strcmp(v, "0") == 0 ? 1 : 0;
}

int zksd_cli_vss_mount(cli_ctx *ctx, const char *drive_root, char *out)
{
    PL_ASSERT_RET(TAG, ctx && drive_root && out, -1);
    if (!zksd_cli_ver_at_least(ctx, "1.6.7"))
        return -1;
    return answer_op(ctx, 0, ZKSD_IOCTL2_VSS_MOUNT, drive_root, out, ZKSD_ANSWER_SIZE) < 0 ? -1 : 0;
}

int zksd_cli_vss_umount(cli_ctx *ctx)
{
    PL_ASSERT_RET(TAG, ctx, -1);
    if (!zksd_cli_ver_at_least(ctx, "1.6.7"))
        return -1;
    return finish(ctx, cli_ioctl2_imp(ctx, 0, ZKSD_IOCTL2_VSS_UMOUNT, nullptr, 0, 0, nullptr, nullptr));
}

// ---- hashing and block counting of an open file ----------------------------------------------------------

int zksd_cli_hash_init(cli_file_ctx *h, unsigned algo_mask, unsigned a, unsigned b, const char *text)
{
    cli_ctx *ctx = file_ctx(h);
    PL_ASSERT_RET(TAG, ctx, -1);
    if (!zksd_cli_ver_at_least(ctx, "1.5.9"))
        return -1;
    if (algo_mask > 0x3ff && !zksd_cli_ver_at_least(ctx, "1.6.3"))
        return -1;
    char t[k_text_size];
    if (!names_ok(ctx, {text}) ||
        !fmt_text(ctx, t, "%lx\t%u\t%u\t%u\t%s", (unsigned long)h->fd, algo_mask, a, b, text))
        return -1;
    return finish(ctx, cli_ioctl2_imp(ctx, h->fd, ZKSD_IOCTL2_HASH_INIT, t, -1, 0, nullptr, nullptr));
}

int zksd_cli_hash_caps(cli_ctx *ctx, unsigned *mask)
{
    PL_ASSERT_RET(TAG, ctx && mask, -1);
    if (str_version_cmp(ctx->srv_ver, "1.6.3") < 0) {
        *mask = 1023;
        return 0;
    }
    char ans[64];
    int ret = cli_ioctl2_text(ctx, 0, ZKSD_IOCTL2_HASH_CAPS, nullptr, ans, sizeof ans);
    uint64_t v = 0;
    if (ret == ZKSD_OK && (!parse_x64(ans, &v) || v > UINT32_MAX))
        ret = ZKSD_DATA_ERR;
    if (ret == ZKSD_OK)
        *mask = (unsigned)v;
    return finish(ctx, ret);
}

int zksd_cli_hash_get2(cli_file_ctx *h, void *out, int olen)
{
    cli_ctx *ctx = file_ctx(h);
    PL_ASSERT_RET(TAG, ctx && out && olen >= 0, -1);
    if (!zksd_cli_ver_at_least(ctx, "1.6.8"))
        return -1;
    int n = 0;
    return zksd_cli_ioctl2(h, ZKSD_IOCTL2_HASH_GET2, nullptr, 0, out, olen, &n) == 0 ? n : -1;
}

int zksd_cli_bcount_init(cli_file_ctx *h, int a, unsigned b, int c, const char *text)
{
    cli_ctx *ctx = file_ctx(h);
    PL_ASSERT_RET(TAG, ctx, -1);
    if (!zksd_cli_ver_at_least(ctx, "1.6.2"))
        return -1;
    char t[k_text_size];
    if (!names_ok(ctx, {text}) || !fmt_text(ctx, t, "%lx\t%d\t%u\t%d\t%s", (unsigned long)h->fd, a, b, c, text))
        return -1;
    return finish(ctx, cli_ioctl2_imp(ctx, h->fd, ZKSD_IOCTL2_BCOUNT_INIT, t, -1, 0, nullptr, nullptr));
}

int zksd_cli_fd_op(cli_file_ctx *h, unsigned a, unsigned b)
{
    cli_ctx *ctx = file_ctx(h);
    PL_ASSERT_RET(TAG, ctx, -1);
    if (str_version_cmp(ctx->srv_ver, "1.6.2") < 0)
        return 0;
    char t[64];
    str_sprintf_s(t, sizeof t, "%lx\t%u\t%u", (unsigned long)h->fd, a, b);
    return finish(ctx, cli_ioctl2_imp(ctx, h->fd, ZKSD_IOCTL2_FD_OP, t, -1, 0, nullptr, nullptr));
}

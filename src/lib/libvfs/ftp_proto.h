// ftp_proto: the texts of the FTP dialogue the "ftp" driver reads: reply
// lines, the PASV address, PWD's directory, MLSD listing lines and numbers.
// Pure functions on the caller's buffers: no connection, no log, no state;
// safe from any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// One entry of an MLSD listing.
struct ftp_entry {
    std::string name;
    uint32_t type = 0;    // OS_FTYPE_DIR or OS_FTYPE_FILE (0: a type neither)
    uint64_t size = 0;    // files only
    int64_t mtime = -1;   // seconds since 1970 (UTC), -1 when not given
    uint32_t mtime_ns = 0;
    uint8_t self = 0;     // 1: the listed directory itself ("."), 2: its parent ("..")
};

// The reply code of one control line: three digits followed by ' ', '-' or
// the end of the line. *more is 1 when the fourth character is '-' (a line
// that opens, or lies within, a multi-line reply). The code, or -1 when the
// line does not start with three digits.
int ftp_reply_line(const char *line, int *more);

// The address of a "227" reply text: six numbers 0-255 joined by ',',
// within brackets when the text has them. host receives "a.b.c.d" (size
// bytes, at least 16), *port p1 x 256 + p2. 0, or -1 for a text without them.
int ftp_pasv_parse(const char *text, char *host, size_t size, int *port);

// The directory of a "257" reply text: what lies between the first two
// double quotes after the code ("" inside the name stands for one quote).
// 0, -1 when the text has no quoted name or it does not fit out (size bytes).
int ftp_pwd_parse(const char *text, char *out, size_t size);

// A decimal number of at most 64 bits from the n characters at s (digits
// only, at least one). 0, -1 otherwise (overflow included).
int ftp_u64_parse(const char *s, size_t n, uint64_t *out);

// One MLSD line ("fact=value;...; name", its line end already removed). The
// facts read are "type" (file: a file, whose "size" is then required; dir,
// cdir and pdir: a directory; any other type, such as "OS.unix=slink:...",
// is none of them), "size" and "modify" (YYYYMMDDHHMMSS[.fraction], UTC);
// fact names and types are compared without case. The name is everything
// after the first space. 0 with *e filled; 1 with *e filled but for its
// type (0) for an entry of another type; -1 for a line without type, a file
// without a valid size, a bad time, or no name.
int ftp_mlsd_parse(const char *line, ftp_entry *e);

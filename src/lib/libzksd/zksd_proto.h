// zksd_proto: the numbers of the zksd protocol, named once. Three spaces
// that do not overlap in meaning even where the numbers do:
// - command ids, the fourth byte of a frame's head (one byte);
// - handle ioctl codes, carried by command ZKSD_CMD_IOCTL (codes below 8
//   are served by the client itself or by dedicated commands; every other
//   code travels with a text and brings no answer back);
// - ioctl2 codes, carried by command ZKSD_CMD_IOCTL2 with data both ways.
// 10001, 10002, 10100, 10101 and 10103 to 10105 are different operations
// on the two ioctl channels.
#pragma once

// ---- command ids ----------------------------------------------------------------------------------
// Request fields and reply rows of each are built and read in zksd_cli.cpp,
// zksd_req.cpp and zksd_ioctl.cpp; a reply always begins with errno and
// errno_str.
enum zksd_cmd : int {
    ZKSD_CMD_LOGIN = 1,          // user, password hash -> os_type (old login)
    ZKSD_CMD_GOODBYE = 2,        // empty table; no reply is read
    ZKSD_CMD_LSBLK = 3,          // block-device list
    ZKSD_CMD_INFO = 4,           // server information (key=value lines)
    ZKSD_CMD_STATFS = 5,         // volume information of a path
    ZKSD_CMD_STAT = 6,           // stat of a path, basic reply
    ZKSD_CMD_STAT_EXT = 7,       // stat of a path, extended reply (ver_153)
    ZKSD_CMD_IOCTL2 = 8,         // the ioctl2 channel
    ZKSD_CMD_SETXATTR = 9,       // set an extended attribute (packed value)
    ZKSD_CMD_OPEN = 10,          // open with the open flags
    ZKSD_CMD_CLOSE = 11,         // close a file
    ZKSD_CMD_READ = 12,          // read at the server's position
    ZKSD_CMD_WRITE = 13,         // write at the server's position
    ZKSD_CMD_FSYNC = 14,
    ZKSD_CMD_SEEK = 15,
    ZKSD_CMD_FTRUNCATE = 16,     // set the file size
    ZKSD_CMD_FILE_INFO = 19,     // file information (handle ioctl 0)
    ZKSD_CMD_IOCTL = 20,         // the handle ioctl text channel
    ZKSD_CMD_FSTAT = 21,         // fstat, basic reply
    ZKSD_CMD_FUTIME = 22,        // set file times (seconds)
    ZKSD_CMD_FLOCK = 23,         // lock a range
    ZKSD_CMD_WOPEN = 24,         // Windows-style open
    ZKSD_CMD_OPEN2 = 25,         // open with flags and creation mode
    ZKSD_CMD_FSTAT_EXT = 26,     // fstat, extended reply (ver_153)
    ZKSD_CMD_FUTIME_NS = 27,     // set file times with nanoseconds (ver_153)
    ZKSD_CMD_LSTAT = 28,         // lstat (reply extended after ver_153)
    ZKSD_CMD_PREAD = 29,         // read at an offset (ver_164)
    ZKSD_CMD_PWRITE = 30,        // write at an offset (ver_164)
    ZKSD_CMD_OPENDIR = 41,       // open a directory with a pattern
    ZKSD_CMD_READDIR = 42,       // read a directory block, basic lines
    ZKSD_CMD_CLOSEDIR = 43,
    ZKSD_CMD_READDIR_EXT = 44,   // read a directory block, extended lines (ver_153)
    ZKSD_CMD_PWRITEX_OLD = 50,   // positioned extended write of servers below 1.6.2
    ZKSD_CMD_KEY_LOGIN = 90,     // key login, first step: user -> ver, cert
    ZKSD_CMD_KEY_LOGIN2 = 91,    // key login, second step: the login key
};

// ---- handle ioctl codes (command ZKSD_CMD_IOCTL) ----------------------------------------------------
enum zksd_ioc : int {
    // Served by the client or by dedicated commands; nothing of these goes
    // out over command 20.
    ZKSD_IOC_FILE_INFO = 0,   // zksd_file_info_t (command 19)
    ZKSD_IOC_ERROR_CLASS = 1, // uint64_t: error class of the last server errno, nothing sent
    ZKSD_IOC_FSTAT = 2,       // os_file_stat_t (command 21 or 26)
    ZKSD_IOC_FUTIME = 6,      // zksd_file_times_t (command 22 or 27)
    ZKSD_IOC_FLOCK = 7,       // zksd_lock_range_t (command 23)
    // Text operations: the text each carries is built beside its call.
    ZKSD_IOC_SET_CODEC = 10001,     // codec name for this connection
    ZKSD_IOC_PROBE = 10002,         // latency probe, no text
    ZKSD_IOC_GETCWD = 10010,        // the caller's buffer, unchanged
    ZKSD_IOC_CHDIR = 10011,
    ZKSD_IOC_CREATE_FILE = 10012,   // create the file if it does not exist
    ZKSD_IOC_CREATE_DIR = 10013,    // create the directory if it does not exist
    ZKSD_IOC_RMDIR = 10014,
    ZKSD_IOC_UNLINK = 10015,
    ZKSD_IOC_RENAME = 10016,
    ZKSD_IOC_SET_ATTRIB = 10018,
    ZKSD_IOC_ACCESS = 10019,
    ZKSD_IOC_MKDIR = 10020,
    ZKSD_IOC_MKNOD = 10021,
    ZKSD_IOC_MKFIFO = 10022,
    ZKSD_IOC_LINK = 10023,          // new path, then the existing one
    ZKSD_IOC_SYMLINK = 10024,       // link path, then the target
    ZKSD_IOC_CHMOD = 10025,
    ZKSD_IOC_LCHMOD = 10026,        // without following a link
    ZKSD_IOC_CHOWN = 10027,
    ZKSD_IOC_LCHOWN = 10028,        // without following a link
    ZKSD_IOC_UTIME = 10029,
    ZKSD_IOC_UTIMENS = 10030,       // without following a link
    ZKSD_IOC_TRUNCATE = 10035,
    ZKSD_IOC_RMDIR2 = 10036,        // with a flag (server 1.7.8 and up)
    ZKSD_IOC_REMOVE2 = 10037,       // with a flag (server 1.7.8 and up)
    ZKSD_IOC_PATH_OP = 10042,       // a path operation the protocol leaves open
    ZKSD_IOC_FD_READ_TIMEOUT = 10100,
    ZKSD_IOC_FRENAME = 10101,       // rename an open file
    ZKSD_IOC_FCHMOD = 10102,
    ZKSD_IOC_FCHOWN = 10103,
    ZKSD_IOC_DELETE_ON_CLOSE = 10104,
    ZKSD_IOC_FD_WRITE_TIMEOUT = 10105,
    ZKSD_IOC_OP_10200 = 10200,      // an operation without text the protocol leaves open
};

// ---- ioctl2 codes (command ZKSD_CMD_IOCTL2) --------------------------------------------------------
enum zksd_ioctl2 : int {
    ZKSD_IOCTL2_GET_SETTINGS = 10,  // -> key=value lines
    ZKSD_IOCTL2_SET_SETTINGS = 11,  // the lines, user and passwd enciphered
    // Server-context control behind reconnection. While the reply of a code
    // in [ZKSD_IOCTL2_CTL_FIRST, ZKSD_IOCTL2_CTL_LAST] is read, recovery is
    // off, so that a break inside a recovery step starts no other one.
    ZKSD_IOCTL2_CTL_FIRST = 100,
    ZKSD_IOCTL2_CTX_PREPARE = 101,
    ZKSD_IOCTL2_CTX_ID = 102,
    ZKSD_IOCTL2_GET_LAST_CMD_IDX = 103,
    ZKSD_IOCTL2_ATTACH_CTX = 104,
    ZKSD_IOCTL2_ATTACH_CTX_REPLY = 105, // no reply of its own: the interrupted request's follows
    ZKSD_IOCTL2_CTX_RUN_STATUS = 106,
    ZKSD_IOCTL2_CTX_REQ_STOP = 107,
    ZKSD_IOCTL2_CTL_LAST = 110,
    // Path and server operations.
    ZKSD_IOCTL2_STATVFS = 10001,    // path -> eleven numbers
    ZKSD_IOCTL2_READLINK = 10002,
    ZKSD_IOCTL2_LISTXATTR = 10003,
    ZKSD_IOCTL2_GETXATTR = 10004,
    ZKSD_IOCTL2_REMOVEXATTR = 10005,
    ZKSD_IOCTL2_CHDIR_MT = 10007,   // relative to a caller-held directory
    ZKSD_IOCTL2_REALPATH_MT = 10008,
    ZKSD_IOCTL2_UMASK = 10009,
    ZKSD_IOCTL2_SEEKDIR = 10050,    // on a directory handle's descriptor
    // The values of the texts from here on are the server's business; the
    // client only carries them.
    ZKSD_IOCTL2_DISK_TOOL = 10100,  // disk health queries
    ZKSD_IOCTL2_PATH_QUERY = 10101, // a path query the protocol leaves open
    ZKSD_IOCTL2_HASH_INIT = 10103,
    ZKSD_IOCTL2_HASH_QUERY = 10104,
    ZKSD_IOCTL2_HASH_QUERY2 = 10105,
    ZKSD_IOCTL2_BCOUNT_INIT = 10106,
    ZKSD_IOCTL2_BCOUNT_QUERY = 10107,
    ZKSD_IOCTL2_PWRITEX = 10108,    // positioned extended write (1.6.2 and up)
    ZKSD_IOCTL2_FD_OP = 10109,      // an operation on an open file the protocol leaves open
    ZKSD_IOCTL2_HASH_CAPS = 10110,
    ZKSD_IOCTL2_VSS_MOUNT = 10111,
    ZKSD_IOCTL2_VSS_UMOUNT = 10112,
    ZKSD_IOCTL2_HASH_GET2 = 10113,
    ZKSD_IOCTL2_QUERY_10114 = 10114, // left open by the protocol
    ZKSD_IOCTL2_QUERY_10115 = 10115, // left open by the protocol
};

// os_host: facts about the machine: the operating-system description,
// distribution, processor, host name, boot time and memory; the MAC
// addresses of the network interfaces (as u64 values: the six bytes read
// big-endian; values up to 0xffffff count as no address); the first active
// IPv4 address; the model text of a storage device. Log tag "pal".
//
// The *_cstr texts and os_get_distro/os_get_arch live in static buffers,
// filled on first use (during start-up, on the main thread) and then only
// read. Every read of "/proc", "/sys" and "/etc" goes through one path
// prefix, and the disk queries through one ioctl procedure: tests set them
// to fixture trees and canned replies (os_host_set_seams).
#pragma once
#include <cstddef>
#include <cstdint>

struct u64_vector_t;

// ---- test seams -------------------------------------------------------------------
// The disk queries' ioctl (HDIO_GET_IDENTITY, SG_GET_VERSION_NUM, SG_IO).
typedef int (*os_host_ioctl_fn)(int fd, unsigned long request, void *arg);
// root: prefix put before "/proc", "/sys" and "/etc" paths (NULL or "" for
// none); ioctl_fn: NULL for the system's. Also empties the static buffers.
void os_host_set_seams(const char *root, os_host_ioctl_fn ioctl_fn);

// ---- operating system and host ------------------------------------------------------
// The five uname fields joined by blanks plus one trailing blank. 0, or -1
// (logged "uname error: ").
int os_get_info(char *buf, size_t size);
// os_get_info trimmed ("Linux host 6.1.0 #1 SMP ... x86_64").
const char *os_info_cstr(void);
// DISTRIB_DESCRIPTION of /etc/lsb-release, else /etc/redhat-release, else
// "unkown linux" (a text of 64 bytes or more goes on to the next source).
const char *os_get_distro(void);
// uname's machine name, "x86" for i?86; "unkown" when uname fails.
const char *os_get_arch(void);
// gethostname; an empty name or "(none)" becomes "none".
char *os_get_hostname(char *buf, size_t size);
// Real-time seconds minus the uptime; 0 when it cannot be read.
int64_t os_get_boot_time(void);
// Physical pages x page size.
uint64_t os_get_total_ram(void);
// "<total memory as a size text> PS=<page size>".
const char *os_mem_info_cstr(void);

// ---- MAC addresses ---------------------------------------------------------------------
// Every address of /sys/class/net (directory order) above 0xffffff, in a new
// vector (u64_vector_free), or NULL when the directory can't be read.
u64_vector_t *os_mac_list(void);
// The first of os_mac_list: unsorted (0), least (1) or greatest (2); 0 if none.
uint64_t os_mac_select(int mode);
uint64_t os_mac_get(void);
uint64_t os_mac_first(void);
uint64_t os_mac_min(void);
uint64_t os_mac_max(void);
// Hardware addresses of the interfaces that are up, from the kernel's
// interface list (SIOCGIFCONF, at most 16). New vector or NULL.
u64_vector_t *os_mac_get_all2(void);
// count (6, 7 or 8) bytes read big-endian; another count gives 0.
uint64_t os_mac_bytes_2_u64(const uint8_t *bytes, int count);
// Fields converted from "aa:bb:cc:dd:ee:ff" into out (zeroed first).
int os_mac_str_2_bytes(const char *text, uint8_t out[6]);
// "%llx" of os_mac_first ("0" when none).
const char *os_hw_info_cstr(void);
// MD5 hex of text, a TAB, MD5 hex of the hardware text.
const char *os_host_id_cstr(const char *text);

// ---- network adapters --------------------------------------------------------------------
// The first IPv4 address (getifaddrs order) other than 127.0.0.1. 0 or -1.
int os_adapter_get_active_ip(char *buf, size_t size);
int os_get_active_ip(char *buf, size_t size);
// Prints every interface address on the standard output. 0 or -1.
int os_adapter_show(void);

// ---- storage devices -------------------------------------------------------------------
// First line (trimmed, at most 255 characters) of
// /sys/block/<base name of dev>/device/<attr>: new text (os_free) or NULL.
char *os_dev_sysfs_attr(const char *dev, const char *attr);
// "PhysicalMemory" for exactly "/dev/mem", "/dev/pmem", "/dev/ram"; else
// os_dev_get_model_imp. 0.
int os_dev_get_model(int fd, char *buf, size_t size, const char *dev);
// The first text of: ATA identity ("model|serial"), SCSI inquiry
// ("vendor-product"), sysfs model, /proc/mtd, the kernel command line's
// mtdparts. buf stays as it was when none gives one. 0.
int os_dev_get_model_imp(int fd, char *buf, size_t size, const char *dev);

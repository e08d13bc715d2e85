// The simulated board's device layer: shared state of the interposers.
//
// The layer is preloaded into the program under test. It reads the board
// directory's board.conf once, keeps the C library's own entry points for
// its own use, classifies descriptors (MTD partition, I2C bus, anything
// else) by the device and inode of the file behind them, and appends one
// line per device access to log/devices.log.
//
// Everything here is plain C-style code: the interposers run inside another
// program, before and around its own start-up, and must not allocate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/select.h>
#include <sys/types.h>
#include <time.h>

// Only the interposed C library names leave the library.
#pragma GCC visibility push(hidden)

// PARTITIONS, I2C_BUSES, partition_names, dev_kind and device_files, made
// from sim/board.json.
#include "board_devices.h"

namespace boardsim {

// The C library's entry points, looked up with dlsym(RTLD_NEXT).
struct real_calls {
    int (*open)(const char*, int, ...);
    int (*open64)(const char*, int, ...);
    int (*openat)(int, const char*, int, ...);
    int (*openat64)(int, const char*, int, ...);
    ssize_t (*read)(int, void*, size_t);
    ssize_t (*write)(int, const void*, size_t);
    ssize_t (*pread64)(int, void*, size_t, off64_t);
    ssize_t (*pwrite64)(int, const void*, size_t, off64_t);
    int (*close)(int);
    int (*ioctl)(int, unsigned long, ...);
    int (*nanosleep)(const struct timespec*, struct timespec*);
    int (*clock_nanosleep)(clockid_t, int, const struct timespec*, struct timespec*);
    int (*poll)(struct pollfd*, nfds_t, int);
    int (*ppoll)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*);
    int (*select)(int, fd_set*, fd_set*, fd_set*, struct timeval*);
    int (*ioctl_time64)(int, unsigned long, ...); // 32-bit PowerPC only
    size_t (*fwrite)(const void*, size_t, size_t, FILE*);
    int (*fflush)(FILE*);
    int (*fclose)(FILE*);
    int (*fsync)(int);
    int (*fdatasync)(int);
    int (*system)(const char*);
    ssize_t (*sendfile)(int, int, off_t*, size_t);
    ssize_t (*sendfile64)(int, int, off64_t*, size_t);
};
extern real_calls real;

struct board_conf {
    char dir[512];            // the board directory
    std::uint32_t erase_size; // reported by MEMGETINFO, used for MEMERASE checks
    bool geometry_fail;       // MEMGETINFO fails with EINVAL
    bool eeprom_absent;       // nothing answers at 0x54
    std::uint32_t eeprom_size;
    std::uint32_t eeprom_page;
    unsigned fail_read_at; // 1-based op numbers of this power-on, 0 = never
    unsigned fail_erase_at;
    unsigned fail_write_at;
    unsigned power_cut_at;        // counted over erases and writes together
    unsigned power_cut_file_at;   // counted over user-partition file pieces and closes
    unsigned power_cut_eeprom_at; // counted over EEPROM data writes: cut in the write cycle
    unsigned eeprom_cut_seed;     // picks the values the bytes of a cut write cycle take
    double time_scale;
    bool in_sandbox;           // started by the board's sandbox (power cuts end it)
    unsigned usb_fail_read_at; // counted over reads of files on the stick
    unsigned usb_shrink_at;
    std::uint64_t usb_shrink_to;
    char console_input[256]; // file of the board directory read as standard input
};
extern board_conf conf;

struct device_ref {
    dev_kind kind;
    int index;            // partition number or bus number
    bool regular = false; // a regular file (only those can be user-partition files)
};

// Loads board.conf, the real entry points and the device identities; safe
// to call from every interposer (does its work once).
void layer_init();

// What a descriptor refers to, found from the file behind it.
device_ref classify_fd(int fd);

// Appends one formatted line (newline added) to log/devices.log.
void trace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Formats up to `n` bytes as "[01 02 ...]" into `out` (always terminated).
void format_bytes(char* out, std::size_t cap, const std::uint8_t* data, std::size_t n);

// Name of an errno value as the trace shows it ("EIO", "EINVAL", ...).
const char* errno_name(int err);

// Writes the reason of the power-off into state/ for the sandbox to collect.
void record_power_off(const char* reason);

// The board loses power: records it and ends every process of the board.
[[noreturn]] void cut_power();

// Path of a file inside the board directory.
void board_path(char* out, std::size_t cap, const char* relative);

// Opens a file of the board directory for the layer's own use: its
// descriptor is moved out of the program's way (to 200 or above) and closed
// on exec, so that neither the program nor its children see it. -1 when it
// cannot be opened.
int open_board_file(const char* relative, int flags, mode_t mode);

// True for a path below `sandbox_dir` (as the sandbox shows it, "/user/")
// or below the board directory's `board_dir` ("user/", outside it).
bool path_below(const char* path, const char* sandbox_dir, const char* board_dir);

// The path of the file behind a descriptor; false when it cannot be told.
bool fd_path(int fd, char* out, std::size_t cap);

// --- MTD partitions (mtd.cpp) ---
ssize_t mtd_pread(int part, int fd, void* buf, size_t count, off64_t offset);
ssize_t mtd_pwrite(int part, int fd, const void* buf, size_t count, off64_t offset);
ssize_t mtd_read(int part, int fd, void* buf, size_t count);
ssize_t mtd_write(int part, int fd, const void* buf, size_t count);
int mtd_ioctl(int part, int fd, unsigned long request, void* arg);
void mtd_opened(int part, int flags);
void mtd_closed(int part);

// --- I2C buses (i2c.cpp) ---
ssize_t i2c_read(int bus, int fd, void* buf, size_t count);
ssize_t i2c_write(int bus, int fd, const void* buf, size_t count);
int i2c_ioctl(int bus, int fd, unsigned long request, void* arg);
void i2c_opened(int bus, int fd);
void i2c_closed(int fd);

// --- files on the user partition (userfs.cpp) ---
// True when the descriptor is a file of the user partition; gives its path.
bool user_file(int fd, char* path, std::size_t cap);
ssize_t user_write(const char* path, int fd, const void* buf, size_t count, off64_t offset, bool positioned);
size_t user_fwrite(const void* data, size_t size, size_t n, FILE* f,
                   size_t (*next)(const void*, size_t, size_t, FILE*));
void user_flushing(FILE* f);
void user_closing(int fd);
void user_syncing(int fd);
// A command the program runs through system() that writes the user
// partition (cp, mkdir, touch, flash_eraseall of its device): counted here,
// since the command itself runs without the layer.
void user_command_starting(const char* command);

// --- files on the USB stick (stick.cpp) ---
// Called before every read of a descriptor that is no board device (read,
// pread, sendfile's input): counts the reads of files on the stick and
// applies the stick's faults. offset: where the read starts, -1 for the
// descriptor's own position. False (errno EIO) when this read must fail.
bool stick_read_allowed(int fd, off64_t offset, size_t count);

// --- network requests (net.cpp) ---
// Answers or passes on a socket ioctl; `handled` tells whether it did.
int net_ioctl(int fd, unsigned long request, void* arg, bool* handled);

} // namespace boardsim

#pragma GCC visibility pop

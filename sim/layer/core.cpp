// Start-up of the device layer: board.conf, the C library's entry points,
// the identities of the board's device files, descriptor classification and
// the device trace.
#include "layer.h"
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace boardsim {

real_calls real;
board_conf conf;

namespace {

bool initialised = false;
int trace_fd = -1;

// Up to two files may stand for one device: the board directory's file and
// the path the program sees (a bind mount of it has the same identity, but
// a stand-in file does not).
struct identity {
    dev_t dev;
    ino64_t ino;
    bool valid;
};
identity device_ids[DEVICE_FILES][2];

template <typename F> void lookup(F& slot, const char* name)
{
    slot = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void load_real_calls()
{
    lookup(real.open, "open");
    lookup(real.open64, "open64");
    lookup(real.openat, "openat");
    lookup(real.openat64, "openat64");
    lookup(real.read, "read");
    lookup(real.write, "write");
    lookup(real.pread64, "pread64");
    lookup(real.pwrite64, "pwrite64");
    lookup(real.close, "close");
    lookup(real.ioctl, "ioctl");
    lookup(real.nanosleep, "nanosleep");
    lookup(real.clock_nanosleep, "clock_nanosleep");
    lookup(real.poll, "poll");
    lookup(real.ppoll, "ppoll");
    lookup(real.select, "select");
    lookup(real.fwrite, "fwrite");
    lookup(real.fflush, "fflush");
    lookup(real.fclose, "fclose");
    lookup(real.fsync, "fsync");
    lookup(real.fdatasync, "fdatasync");
    lookup(real.system, "system");
    lookup(real.sendfile, "sendfile");
    lookup(real.sendfile64, "sendfile64");
#if defined(__powerpc__) && !defined(__powerpc64__)
    lookup(real.ioctl_time64, "__ioctl_time64");
#endif
}

void set_defaults()
{
    conf.erase_size = 131072;
    conf.geometry_fail = false;
    conf.eeprom_absent = false;
    conf.eeprom_size = 8192;
    conf.eeprom_page = 32;
    conf.fail_read_at = conf.fail_erase_at = conf.fail_write_at = conf.power_cut_at = 0;
    conf.power_cut_file_at = 0;
    conf.power_cut_eeprom_at = 0;
    conf.eeprom_cut_seed = 0;
    conf.time_scale = 1.0;
    conf.usb_fail_read_at = conf.usb_shrink_at = 0;
    conf.usb_shrink_to = 0;
    conf.console_input[0] = '\0';
}

unsigned long parse_number(const char* text)
{
    return strtoul(text, nullptr, 0);
}

void apply_setting(const char* key, const char* value)
{
    if (!strcmp(key, "erase_size"))
        conf.erase_size = static_cast<std::uint32_t>(parse_number(value));
    else if (!strcmp(key, "geometry"))
        conf.geometry_fail = !strcmp(value, "fail");
    else if (!strcmp(key, "eeprom"))
        conf.eeprom_absent = !strcmp(value, "absent");
    else if (!strcmp(key, "eeprom_size"))
        conf.eeprom_size = static_cast<std::uint32_t>(parse_number(value));
    else if (!strcmp(key, "eeprom_page"))
        conf.eeprom_page = static_cast<std::uint32_t>(parse_number(value));
    else if (!strcmp(key, "fail_read_at"))
        conf.fail_read_at = static_cast<unsigned>(parse_number(value));
    else if (!strcmp(key, "fail_erase_at"))
        conf.fail_erase_at = static_cast<unsigned>(parse_number(value));
    else if (!strcmp(key, "fail_write_at"))
        conf.fail_write_at = static_cast<unsigned>(parse_number(value));
    else if (!strcmp(key, "power_cut_at"))
        conf.power_cut_at = static_cast<unsigned>(parse_number(value));
    else if (!strcmp(key, "power_cut_file_at"))
        conf.power_cut_file_at = static_cast<unsigned>(parse_number(value));
    else if (!strcmp(key, "power_cut_eeprom_at"))
        conf.power_cut_eeprom_at = static_cast<unsigned>(parse_number(value));
    else if (!strcmp(key, "eeprom_cut_seed"))
        conf.eeprom_cut_seed = static_cast<unsigned>(parse_number(value));
    else if (!strcmp(key, "usb_fail_read_at"))
        conf.usb_fail_read_at = static_cast<unsigned>(parse_number(value));
    else if (!strcmp(key, "usb_shrink_at"))
        conf.usb_shrink_at = static_cast<unsigned>(parse_number(value));
    else if (!strcmp(key, "usb_shrink_to"))
        conf.usb_shrink_to = strtoull(value, nullptr, 0);
    else if (!strcmp(key, "console_input"))
        snprintf(conf.console_input, sizeof conf.console_input, "%s", value);
    else if (!strcmp(key, "time_scale")) {
        double scale = strtod(value, nullptr);
        conf.time_scale = scale >= 0 ? scale : 1.0;
    }
}

// Strips blanks at both ends in place.
char* trim(char* text)
{
    while (*text == ' ' || *text == '\t')
        ++text;
    char* end = text + strlen(text);
    while (end > text && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r' || end[-1] == '\n'))
        *--end = '\0';
    return text;
}

void parse_line(char* line)
{
    char* eq = strchr(line, '=');
    if (!eq || line[0] == '#')
        return;
    *eq = '\0';
    apply_setting(trim(line), trim(eq + 1));
}

void load_board_conf()
{
    char path[600];
    board_path(path, sizeof path, "board.conf");
    int fd = real.open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    char text[8192];
    ssize_t n = real.read(fd, text, sizeof text - 1);
    real.close(fd);
    if (n <= 0)
        return;
    text[n] = '\0';
    char* save = nullptr;
    for (char* line = strtok_r(text, "\n", &save); line; line = strtok_r(nullptr, "\n", &save))
        parse_line(line);
}

identity identity_of(const char* path)
{
    struct stat64 st;
    if (stat64(path, &st) != 0 || !S_ISREG(st.st_mode))
        return identity{0, 0, false};
    return identity{st.st_dev, st.st_ino, true};
}

void load_identities()
{
    char path[600];
    for (int d = 0; d < DEVICE_FILES; ++d) {
        const device_file& f = device_files[d];
        device_ids[d][0] = identity{0, 0, false};
        if (f.board_file != nullptr) {
            board_path(path, sizeof path, f.board_file);
            device_ids[d][0] = identity_of(path);
        }
        device_ids[d][1] = identity_of(f.path);
    }
}

void open_trace()
{
    trace_fd = open_board_file("log/devices.log", O_WRONLY | O_APPEND | O_CREAT, 0644);
}

// Children of the program (the shell and its tools) must run without the
// layer: on the host they would load it too, under qemu they are of the
// wrong architecture.
void drop_preload()
{
    unsetenv("LD_PRELOAD");
}

// A console whose input has ended after the keys of a file: standard input
// reads the file, then end of file, while output still goes to the console.
void replace_console_input()
{
    if (conf.console_input[0] == '\0')
        return;
    char path[sizeof conf.dir + sizeof conf.console_input + 1];
    board_path(path, sizeof path, conf.console_input);
    int fd = real.open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        trace("console input %s missing", conf.console_input);
        return;
    }
    // dup2 clears close-on-exec: the commands the program runs read it too.
    if (fd != 0) {
        dup2(fd, 0);
        real.close(fd);
    }
    trace("console input from %s", conf.console_input);
}

bool same(const identity& id, const struct stat64& st)
{
    return id.valid && id.dev == st.st_dev && id.ino == st.st_ino;
}

} // namespace

void board_path(char* out, std::size_t cap, const char* relative)
{
    snprintf(out, cap, "%s/%s", conf.dir, relative);
}

int open_board_file(const char* relative, int flags, mode_t mode)
{
    char path[600];
    board_path(path, sizeof path, relative);
    int fd = real.open(path, flags | O_CLOEXEC, mode);
    if (fd < 0)
        return -1;
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, 200);
    if (high >= 0) {
        real.close(fd);
        fd = high;
    }
    return fd;
}

bool path_below(const char* path, const char* sandbox_dir, const char* board_dir)
{
    if (strncmp(path, sandbox_dir, strlen(sandbox_dir)) == 0)
        return true;
    char mine[600];
    board_path(mine, sizeof mine, board_dir);
    return strncmp(path, mine, strlen(mine)) == 0;
}

bool fd_path(int fd, char* out, std::size_t cap)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, cap - 1);
    if (n <= 0)
        return false;
    out[n] = '\0';
    return true;
}

void layer_init()
{
    if (initialised)
        return;
    initialised = true;
    load_real_calls();
    set_defaults();
    const char* dir = getenv("BOARDSIM_DIR");
    snprintf(conf.dir, sizeof conf.dir, "%s", dir && *dir ? dir : "/.boardsim");
    conf.in_sandbox = getenv("BOARDSIM_SANDBOX") != nullptr;
    load_board_conf();
    load_identities();
    open_trace();
    replace_console_input();
    drop_preload();
}

device_ref classify_fd(int fd)
{
    struct stat64 st;
    if (fd < 0 || fstat64(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return device_ref{DEV_OTHER, -1};
    for (int d = 0; d < DEVICE_FILES; ++d)
        if (same(device_ids[d][0], st) || same(device_ids[d][1], st))
            return device_ref{device_files[d].kind, device_files[d].index};
    return device_ref{DEV_OTHER, -1, true};
}

void trace(const char* fmt, ...)
{
    if (trace_fd < 0)
        return;
    char line[2048];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    std::size_t len =
        static_cast<std::size_t>(n) < sizeof line - 1 ? static_cast<std::size_t>(n) : sizeof line - 2;
    line[len++] = '\n';
    int saved = errno;
    ssize_t ignored = real.write(trace_fd, line, len);
    (void)ignored;
    errno = saved;
}

void format_bytes(char* out, std::size_t cap, const std::uint8_t* data, std::size_t n)
{
    // Long transfers show their first bytes and the total.
    constexpr std::size_t shown_max = 64;
    static const char hex[] = "0123456789abcdef";
    if (cap < 8) {
        if (cap > 0)
            out[0] = '\0';
        return;
    }
    std::size_t shown = n < shown_max ? n : shown_max;
    std::size_t pos = 0;
    out[pos++] = '[';
    for (std::size_t i = 0; i < shown && pos + 4 < cap; ++i) {
        if (i)
            out[pos++] = ' ';
        out[pos++] = hex[data[i] >> 4];
        out[pos++] = hex[data[i] & 15];
    }
    if (shown < n && pos < cap) {
        int k = snprintf(out + pos, cap - pos, " ... %u bytes", static_cast<unsigned>(n));
        if (k > 0)
            pos += static_cast<std::size_t>(k);
    }
    if (pos + 2 > cap)
        pos = cap - 2;
    out[pos++] = ']';
    out[pos] = '\0';
}

const char* errno_name(int err)
{
    switch (err) {
    case EIO:
        return "EIO";
    case EINVAL:
        return "EINVAL";
    case ENXIO:
        return "ENXIO";
    case ENOSPC:
        return "ENOSPC";
    case EBADF:
        return "EBADF";
    case ENOTTY:
        return "ENOTTY";
    case ENODEV:
        return "ENODEV";
    case EFAULT:
        return "EFAULT";
    case EROFS:
        return "EROFS";
    case EPERM:
        return "EPERM";
    default:
        return "E?";
    }
}

void record_power_off(const char* reason)
{
    char rel[64];
    char path[600];
    snprintf(rel, sizeof rel, "state/mark-%s", reason);
    board_path(path, sizeof path, rel);
    int fd = real.open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t ignored = real.write(fd, reason, strlen(reason));
    (void)ignored;
    fsync(fd);
    real.close(fd);
}

void cut_power()
{
    record_power_off("power-cut");
    // The sandbox's init ends every other process of the board on SIGUSR2;
    // outside the sandbox only this process goes.
    if (conf.in_sandbox)
        kill(1, SIGUSR2);
    for (;;)
        kill(getpid(), SIGKILL);
}

} // namespace boardsim

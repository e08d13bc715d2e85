// Files on the user partition (the image slots, the rejected list): their
// writes are traced and counted so that a power cut can fall inside a file
// being written, as it falls inside a flash partition being programmed.
//
// The user partition is a journalling file system on NOR flash: data that
// reached the kernel is on flash, node by node, and a node cut half-way is
// dropped at the next mount. The layer models that with 4 KiB pieces: every
// write of data to a user-partition file counts one file operation per
// 4096 bytes (or part of them), and `power_cut_file_at` N cuts the power
// just before the Nth; the pieces before it stay. Data still in a stdio
// buffer is in RAM and is lost, as on the board. Closing a file that was
// opened for writing counts one operation too, so that a cut can also fall
// between the last data and the close (and whatever the program does after
// it). A `cp SRC DST` that the program runs through system() with DST on
// the user partition counts the pieces of SRC, since the copy itself runs
// without the layer; a cut inside it leaves DST with the pieces before.
// A `mkdir` or `touch` of one entry on the partition counts one operation
// (the entry is there or not), and `flash_eraseall` of its device counts
// the pieces it erases (below).
#include "layer.h"
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace boardsim {

namespace {

constexpr size_t FILE_PIECE = 4096;
constexpr size_t PATH_CAP = 512;

unsigned file_ops;

dev_t user_dev;
bool user_dev_known;

void learn_user_dev()
{
    if (user_dev_known)
        return;
    char path[600];
    board_path(path, sizeof path, "user");
    struct stat64 st;
    if (stat64(path, &st) == 0) {
        user_dev = st.st_dev;
        user_dev_known = true;
    }
}

bool starts_with(const char* text, const char* prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

bool user_path(const char* path)
{
    return path_below(path, "/user/", "user/");
}

size_t pieces_of(std::uint64_t bytes)
{
    return static_cast<size_t>((bytes + FILE_PIECE - 1) / FILE_PIECE);
}

[[noreturn]] void cut_in_file(const char* what, const char* path, unsigned op)
{
    trace("power-cut before file %s %s (file op #%u)", what, path, op);
    cut_power();
}

// Counts one operation; cuts the power when it is the configured one.
void count_op(const char* what, const char* path)
{
    unsigned op = ++file_ops;
    if (conf.power_cut_file_at == op)
        cut_in_file(what, path, op);
}

// Pieces of a write of `count` bytes: cuts before the piece configured.
// Gives the bytes that may be written before the cut (all of them when the
// cut is not in this write).
size_t bytes_before_cut(size_t count)
{
    size_t pieces = pieces_of(count);
    unsigned cut = conf.power_cut_file_at;
    if (cut > file_ops && cut <= file_ops + pieces)
        return (cut - file_ops - 1) * FILE_PIECE;
    file_ops += static_cast<unsigned>(pieces);
    return count;
}

// Pending bytes of a stdio stream open for writing (glibc's buffer fields).
size_t pending_of(FILE* f)
{
    return f->_IO_write_ptr > f->_IO_write_base ? static_cast<size_t>(f->_IO_write_ptr - f->_IO_write_base)
                                                : 0;
}

ssize_t full_write(int fd, const char* data, size_t count)
{
    size_t done = 0;
    while (done < count) {
        ssize_t n = real.write(fd, data + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// The first `bytes` of src into dst, as much of a copy as the power allowed.
void copy_prefix(const char* src, const char* dst, std::uint64_t bytes)
{
    int in = real.open(src, O_RDONLY | O_CLOEXEC, 0);
    int out = real.open(dst, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    char buf[FILE_PIECE];
    for (std::uint64_t done = 0; in >= 0 && out >= 0 && done < bytes;) {
        size_t want = bytes - done < sizeof buf ? static_cast<size_t>(bytes - done) : sizeof buf;
        ssize_t got = real.read(in, buf, want);
        if (got <= 0 || full_write(out, buf, static_cast<size_t>(got)) < 0)
            break;
        done += static_cast<std::uint64_t>(got);
    }
    if (in >= 0)
        real.close(in);
    if (out >= 0)
        real.close(out);
}

// One blank-separated word of `text` into out; gives the text after it, or
// null when there is no word or it does not fit.
const char* take_word(const char* text, char* out, size_t cap)
{
    while (*text == ' ')
        ++text;
    size_t n = 0;
    while (text[n] && text[n] != ' ' && text[n] != '\n' && text[n] != '\t')
        ++n;
    if (n == 0 || n >= cap)
        return nullptr;
    memcpy(out, text, n);
    out[n] = '\0';
    return text + n;
}

// "cp SRC DST" (a trailing line end allowed) with plain words: SRC, DST.
bool parse_copy(const char* command, char* src, char* dst, size_t cap)
{
    if (!starts_with(command, "cp "))
        return false;
    const char* rest = take_word(command + 3, src, cap);
    rest = rest ? take_word(rest, dst, cap) : nullptr;
    if (!rest)
        return false;
    while (*rest == ' ' || *rest == '\n' || *rest == '\t')
        ++rest;
    return *rest == '\0';
}

// A copy of SRC to DST on the user partition: its pieces, then its close.
// A cut at the close leaves the whole copy.
void copy_starting(const char* src, const char* dst)
{
    struct stat64 st;
    std::uint64_t size =
        stat64(src, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
    trace("file copy %s %s len=%llu", src, dst, static_cast<unsigned long long>(size));
    size_t pieces = pieces_of(size);
    unsigned cut = conf.power_cut_file_at;
    if (cut > file_ops && cut <= file_ops + pieces + 1) {
        std::uint64_t before = static_cast<std::uint64_t>(cut - file_ops - 1) * FILE_PIECE;
        copy_prefix(src, dst, before < size ? before : size);
        cut_in_file(cut == file_ops + pieces + 1 ? "close" : "write", dst, cut);
    }
    file_ops += static_cast<unsigned>(pieces) + 1;
}

// One word that may be in single quotes (as the program quotes paths).
const char* take_quoted(const char* text, char* out, size_t cap)
{
    while (*text == ' ')
        ++text;
    if (*text != '\'')
        return take_word(text, out, cap);
    const char* close = strchr(text + 1, '\'');
    size_t n = close ? static_cast<size_t>(close - text - 1) : 0;
    if (!close || n == 0 || n >= cap)
        return nullptr;
    memcpy(out, text + 1, n);
    out[n] = '\0';
    return close + 1;
}

// True when only blanks, a line end or "&> /dev/null" follow.
bool ends_plainly(const char* rest)
{
    while (*rest == ' ')
        ++rest;
    if (starts_with(rest, "&> /dev/null"))
        rest += strlen("&> /dev/null");
    while (*rest == ' ' || *rest == '\n' || *rest == '\t')
        ++rest;
    return *rest == '\0';
}

// "mkdir [-p] PATH" or "touch PATH" (one entry made): PATH.
bool parse_made_entry(const char* command, char* path, size_t cap)
{
    const char* rest = nullptr;
    if (starts_with(command, "mkdir -p "))
        rest = command + strlen("mkdir -p ");
    else if (starts_with(command, "mkdir "))
        rest = command + strlen("mkdir ");
    else if (starts_with(command, "touch "))
        rest = command + strlen("touch ");
    if (!rest)
        return false;
    rest = take_quoted(rest, path, cap);
    return rest && ends_plainly(rest);
}

// "flash_eraseall /dev/mtd-user-char" (or the block device).
bool parse_erase(const char* command)
{
    char device[PATH_CAP];
    if (!starts_with(command, "flash_eraseall "))
        return false;
    const char* rest = take_word(command + strlen("flash_eraseall "), device, sizeof device);
    return rest && ends_plainly(rest) &&
           (!strcmp(device, "/dev/mtd-user-char") || !strcmp(device, "/dev/mtd-user"));
}

// The erase of the user partition goes through its entries in name order,
// depth first: a file costs one operation per 4 KiB piece (an empty one
// costs one), a folder one after its contents. A cut leaves every entry
// before it erased, the pieces of the file it fell in that were already
// erased reading as zeros (holes), and everything after it untouched.
constexpr int ERASE_NAMES = 64;
constexpr size_t ERASE_NAME_CAP = 256;

int compare_names(const void* a, const void* b)
{
    return strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

void zero_head(const char* path, std::uint64_t bytes)
{
    int fd = real.open(path, O_WRONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return;
    static const char zeros[FILE_PIECE] = {};
    for (std::uint64_t at = 0; at < bytes; at += FILE_PIECE) {
        size_t n = bytes - at < FILE_PIECE ? static_cast<size_t>(bytes - at) : FILE_PIECE;
        if (real.pwrite64(fd, zeros, n, static_cast<off64_t>(at)) != static_cast<ssize_t>(n))
            break;
    }
    real.close(fd);
}

// Erases the folder's contents up to the cut; the folder itself is not
// removed. Cuts the power when the cut falls inside.
void erase_folder(const char* dir, int depth)
{
    static char names[8][ERASE_NAMES][ERASE_NAME_CAP];
    if (depth >= 8)
        return;
    DIR* d = opendir(dir);
    if (!d)
        return;
    int count = 0;
    for (struct dirent* e = readdir(d); e && count < ERASE_NAMES; e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0 && strlen(e->d_name) < ERASE_NAME_CAP)
            snprintf(names[depth][count++], ERASE_NAME_CAP, "%s", e->d_name);
    }
    closedir(d);
    qsort(names[depth], static_cast<size_t>(count), ERASE_NAME_CAP, compare_names);
    for (int i = 0; i < count; ++i) {
        char path[PATH_CAP + ERASE_NAME_CAP];
        snprintf(path, sizeof path, "%s/%s", dir, names[depth][i]);
        struct stat64 st;
        if (lstat64(path, &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            erase_folder(path, depth + 1);
            count_op("erase", path);
            rmdir(path);
            continue;
        }
        size_t pieces = st.st_size > 0 ? pieces_of(static_cast<std::uint64_t>(st.st_size)) : 1;
        unsigned cut = conf.power_cut_file_at;
        if (cut > file_ops && cut <= file_ops + pieces) {
            std::uint64_t erased = static_cast<std::uint64_t>(cut - file_ops - 1) * FILE_PIECE;
            zero_head(path, erased < static_cast<std::uint64_t>(st.st_size)
                                ? erased
                                : static_cast<std::uint64_t>(st.st_size));
            cut_in_file("erase", path, cut);
        }
        file_ops += static_cast<unsigned>(pieces);
        unlink(path);
    }
}

// With a cut still to come the layer erases, counting, and cuts the power
// when the cut falls inside; the command then finds nothing left to erase.
void erase_starting()
{
    char root[600];
    board_path(root, sizeof root, "user");
    trace("file erase %s", root);
    if (conf.power_cut_file_at > file_ops)
        erase_folder(root, 0);
}

} // namespace

bool user_file(int fd, char* path, size_t cap)
{
    learn_user_dev();
    struct stat64 st;
    if (!user_dev_known || fd < 0 || fstat64(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != user_dev)
        return false;
    return fd_path(fd, path, cap) && user_path(path);
}

ssize_t user_write(const char* path, int fd, const void* buf, size_t count, off64_t offset, bool positioned)
{
    if (!positioned)
        offset = lseek64(fd, 0, SEEK_CUR);
    trace("file write %s off=0x%08llx len=%zu", path, static_cast<unsigned long long>(offset), count);
    size_t allowed = bytes_before_cut(count);
    if (allowed < count) {
        if (allowed > 0)
            positioned ? real.pwrite64(fd, buf, allowed, offset) : real.write(fd, buf, allowed);
        cut_in_file("write", path, conf.power_cut_file_at);
    }
    return positioned ? real.pwrite64(fd, buf, count, offset) : real.write(fd, buf, count);
}

void user_closing(int fd)
{
    char path[PATH_CAP];
    if (!user_file(fd, path, sizeof path))
        return;
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || (fl & O_ACCMODE) == O_RDONLY)
        return;
    trace("file close %s", path);
    count_op("close", path);
}

size_t user_fwrite(const void* data, size_t size, size_t n, FILE* f,
                   size_t (*next)(const void*, size_t, size_t, FILE*))
{
    char path[PATH_CAP];
    if (size == 0 || n == 0 || !user_file(fileno(f), path, sizeof path))
        return next(data, size, n, f);
    const size_t count = size * n;
    trace("file fwrite %s off=0x%08llx len=%zu", path, static_cast<unsigned long long>(ftello64(f)), count);
    size_t allowed = bytes_before_cut(count);
    if (allowed < count) {
        // What the pieces before the cut handed to the stream is written as
        // the C library would: what it still buffers is lost with the power.
        next(data, 1, allowed, f);
        cut_in_file("write", path, conf.power_cut_file_at);
    }
    return next(data, size, n, f);
}

// A flush hands the buffered data to the kernel: its pieces count as writes.
void user_flushing(FILE* f)
{
    char path[PATH_CAP];
    size_t pending = f ? pending_of(f) : 0;
    if (pending == 0 || !user_file(fileno(f), path, sizeof path))
        return;
    trace("file flush %s len=%zu", path, pending);
    if (bytes_before_cut(pending) < pending)
        cut_in_file("write", path, conf.power_cut_file_at);
}

void user_syncing(int fd)
{
    char path[PATH_CAP];
    if (user_file(fd, path, sizeof path))
        trace("file fsync %s", path);
}

void user_command_starting(const char* command)
{
    char src[PATH_CAP];
    char dst[PATH_CAP];
    if (!command)
        return;
    if (parse_copy(command, src, dst, sizeof src)) {
        if (user_path(dst))
            copy_starting(src, dst);
    } else if (parse_made_entry(command, dst, sizeof dst)) {
        if (user_path(dst)) {
            trace("file %s %s", starts_with(command, "mkdir") ? "mkdir" : "touch", dst);
            count_op("create", dst);
        }
    } else if (parse_erase(command)) {
        erase_starting();
    }
}

} // namespace boardsim

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
#include "layer.h"
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

void user_copy_starting(const char* command)
{
    char src[PATH_CAP];
    char dst[PATH_CAP];
    if (!command || !parse_copy(command, src, dst, sizeof src) || !user_path(dst))
        return;
    struct stat64 st;
    std::uint64_t size =
        stat64(src, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
    trace("file copy %s %s len=%llu", src, dst, static_cast<unsigned long long>(size));
    // The copy's pieces, then its close: a cut at the close leaves the
    // whole copy.
    size_t pieces = pieces_of(size);
    unsigned cut = conf.power_cut_file_at;
    if (cut > file_ops && cut <= file_ops + pieces + 1) {
        std::uint64_t before = static_cast<std::uint64_t>(cut - file_ops - 1) * FILE_PIECE;
        copy_prefix(src, dst, before < size ? before : size);
        cut_in_file(cut == file_ops + pieces + 1 ? "close" : "write", dst, cut);
    }
    file_ops += static_cast<unsigned>(pieces) + 1;
}

} // namespace boardsim

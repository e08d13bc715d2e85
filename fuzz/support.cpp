// Shared pieces of the fuzz targets (see support.h).
#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "image/crc.h"
#include "image/image.h"

void fuzz_fail(const char* what)
{
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

scratch_file::scratch_file(const char* name) : fd_(memfd_create(name, MFD_CLOEXEC))
{
    fuzz_check(fd_ >= 0, "memfd_create");
}

scratch_file::~scratch_file()
{
    close(fd_);
}

void scratch_file::refill(std::span<const std::uint8_t> bytes)
{
    // Written over the old content, then cut to size: the file keeps its
    // pages from run to run.
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        fuzz_check(n > 0, "scratch write");
        done += static_cast<std::size_t>(n);
    }
    resize(bytes.size());
}

void scratch_file::resize(std::uint64_t size)
{
    fuzz_check(ftruncate(fd_, static_cast<off_t>(size)) == 0, "scratch truncate");
    fuzz_check(lseek(fd_, 0, SEEK_SET) == 0, "scratch rewind");
}

std::size_t scratch_file::read_all(std::uint8_t* out, std::size_t cap) const
{
    std::size_t done = 0;
    while (done < cap) {
        const ssize_t n = pread(fd_, out + done, cap - done, static_cast<off_t>(done));
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void silence_stdout()
{
    static bool done = false;
    if (done || std::getenv("FUZZ_SHOW_OUTPUT"))
        return;
    std::fflush(stdout);
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    fuzz_check(null_fd >= 0 && dup2(null_fd, 1) == 1, "stdout to /dev/null");
    close(null_fd);
    done = true;
}

namespace {

// The host's root, named so that an emulator's own mapping of guest paths
// (qemu-user's -L prefix, which answers for "/" and "/lib") is bypassed.
constexpr const char* HOST_ROOT = "/proc/self/root";

bool bind_entry(const std::string& root, const char* name)
{
    const std::string from = std::string(HOST_ROOT) + "/" + name;
    const std::string to = root + "/" + name;
    // The 64-bit calls: a 32-bit program's plain ones fail on inode
    // numbers beyond 32 bits (EOVERFLOW), as a tmpfs or overlay may give.
    struct stat64 st {};
    if (lstat64(from.c_str(), &st) != 0)
        return true; // gone meanwhile
    if (S_ISLNK(st.st_mode)) {
        char target[PATH_MAX];
        const ssize_t n = readlink(from.c_str(), target, sizeof target - 1);
        if (n < 0)
            return false;
        target[n] = '\0';
        return symlink(target, to.c_str()) == 0;
    }
    if (S_ISDIR(st.st_mode)) {
        if (mkdir(to.c_str(), 0755) != 0)
            return false;
    } else {
        const int fd = open(to.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        close(fd);
    }
    return mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
}

// The new root: a tmpfs on an existing folder of the private namespace
// (hiding it only from this process).
bool mount_new_root(std::string* root)
{
    for (const char* candidate : {"/mnt", "/media", "/srv", "/opt"}) {
        struct stat64 st {};
        if (lstat64(candidate, &st) == 0 && S_ISDIR(st.st_mode) &&
            mount("bootmgr-fuzz", candidate, "tmpfs", 0, "mode=0755") == 0) {
            *root = candidate;
            return true;
        }
    }
    return false;
}

bool bind_host_entries(const std::string& root)
{
    DIR* dir = opendir(HOST_ROOT);
    if (!dir)
        return false;
    bool ok = true;
    const std::string hidden = root.substr(1);
    while (const dirent64* e = readdir64(dir)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..") || !std::strcmp(e->d_name, "user"))
            continue;
        if (hidden == e->d_name) {
            ok = ok && mkdir((root + "/" + e->d_name).c_str(), 0755) == 0;
            continue;
        }
        ok = ok && bind_entry(root, e->d_name);
    }
    closedir(dir);
    return ok;
}

} // namespace

bool enter_private_root_with_user()
{
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd))
        return false;
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    std::string root;
    if (!mount_new_root(&root))
        return false;
    if (!bind_host_entries(root) || mkdir((root + "/user").c_str(), 0755) != 0)
        return false;
    return chroot(root.c_str()) == 0 && chdir(cwd) == 0;
}

bool mount_private_tmp()
{
    // The host's /tmp stays reachable under another name for libFuzzer's
    // own files (a merge's control file, shared with the process it
    // starts, which makes a private /tmp of its own): TMPDIR points there.
    // A target started by one (libFuzzer's merge) finds it already there.
    constexpr const char* HOST_TMP = "/fuzz-host-tmp";
    struct stat st {};
    const bool nested = stat(HOST_TMP, &st) == 0;
    if (!nested &&
        (mkdir(HOST_TMP, 0755) != 0 || mount("/tmp", HOST_TMP, nullptr, MS_BIND | MS_REC, nullptr) != 0))
        return false;
    if (mount("bootmgr-fuzz-tmp", "/tmp", "tmpfs", 0, "mode=1777") != 0)
        return false;
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string given = tmpdir ? tmpdir : "/tmp";
    if (given == "/tmp" || given.starts_with("/tmp/"))
        setenv("TMPDIR", (HOST_TMP + given.substr(4)).c_str(), 1);
    return true;
}

void enter_private_root_or_skip(const char* target, bool private_tmp)
{
    if (enter_private_root_with_user() && (!private_tmp || mount_private_tmp()))
        return;
    std::fprintf(stderr, "%s: no private mount namespace with /user (needs root); skipped\n", target);
    std::exit(77);
}

void write_file(const char* path, std::span<const std::uint8_t> bytes)
{
    FILE* f = std::fopen(path, "wb");
    fuzz_check(f != nullptr, "file to write");
    const bool put = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    fuzz_check(std::fclose(f) == 0 && put, "file written");
}

std::vector<std::uint8_t> read_path(const char* path)
{
    std::vector<std::uint8_t> bytes;
    FILE* f = std::fopen(path, "rb");
    if (!f)
        return bytes;
    std::uint8_t piece[4096];
    std::size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, f)) > 0)
        bytes.insert(bytes.end(), piece, piece + n);
    std::fclose(f);
    return bytes;
}

void answer_on_stdin(const std::string& text)
{
    int p[2];
    fuzz_check(pipe(p) == 0, "pipe");
    // A pipe holds 64 KiB: far more than any answer.
    fuzz_check(write(p[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()), "pipe write");
    close(p[1]);
    fuzz_check(dup2(p[0], 0) == 0, "pipe onto stdin");
    close(p[0]);
    clearerr(stdin);
}

void drain_stdin()
{
    while (std::getchar() != EOF) {
    }
    clearerr(stdin);
}

void repair_component_crcs(std::span<std::uint8_t> image)
{
    std::uint64_t at = 0;
    while (at + COMPONENT_PROBE_SIZE <= image.size()) {
        const component_layout c = component_from_probe(image.data() + at);
        if (!c.sane || c.total > image.size() - at)
            return;
        store_be32(image.data() + at, gen_crc(image.data() + at + 4, c.total - 4, 0xFFFFFFFFu));
        at += c.total;
    }
}

bool image_has_component(std::span<const std::uint8_t> image, std::uint32_t type)
{
    std::uint64_t at = 0;
    while (at + COMPONENT_PROBE_SIZE <= image.size()) {
        const component_layout c = component_from_probe(image.data() + at);
        if (!c.sane)
            return false;
        if (c.type == type)
            return true;
        at += c.total;
    }
    return false;
}

bool exactly_one_good_component(std::span<const std::uint8_t> bytes, std::uint32_t type)
{
    if (bytes.size() < IMAGE_HEADER_SIZE)
        return false;
    // A plain component of no payload is only 16 bytes long.
    std::uint8_t probe[COMPONENT_PROBE_SIZE] = {};
    std::memcpy(probe, bytes.data(), std::min<std::size_t>(bytes.size(), sizeof probe));
    const component_layout c = component_from_probe(probe);
    return c.sane && c.type == type && c.total == bytes.size() &&
           gen_crc_bitwise(bytes.data() + 4, c.total - 4, 0xFFFFFFFFu) == c.header.crc;
}

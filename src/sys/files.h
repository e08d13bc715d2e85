// Open files: owners that close descriptors, streams and directories when
// they go, and exact reads and writes that retry what a signal interrupted.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>

// An open descriptor (or -1), closed when its owner goes.
class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
// An open stream, closed when its owner goes.
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// Closes the stream now; false when its data could not all be stored (or
// there was none open).
bool close_file(file_ptr& f);

struct dir_closer {
    void operator()(DIR* d) const { ::closedir(d); }
};
// An open directory stream, closed when its owner goes.
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

// Reads exactly out.size() bytes at offset. False when the file ends first
// or a read fails; out then holds what was read, the rest unchanged.
bool read_exact(int fd, std::uint64_t offset, std::span<std::uint8_t> out);

// Writes all of data at the descriptor's position; false when a write fails
// or stores nothing (a full file system).
bool write_exact(int fd, std::span<const std::uint8_t> data);

// Shared pieces of the fuzz targets: scratch files in memory, a quiet
// standard output, a private view of the file system, and the check that
// stops a run when an invariant is broken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Ends the run with a report on standard error (libFuzzer and the replay
// both treat the abort as a finding).
[[noreturn]] void fuzz_fail(const char* what);
inline void fuzz_check(bool ok, const char* what)
{
    if (!ok)
        fuzz_fail(what);
}

// A file in memory (memfd), reused from run to run: refill() replaces its
// whole content and puts the offset back to 0.
class scratch_file {
  public:
    explicit scratch_file(const char* name);
    ~scratch_file();
    scratch_file(const scratch_file&) = delete;
    scratch_file& operator=(const scratch_file&) = delete;
    int fd() const { return fd_; }
    void refill(std::span<const std::uint8_t> bytes);
    // Sets the size (new bytes read as zero) and rewinds.
    void resize(std::uint64_t size);
    // Reads everything back (at most cap bytes); the count read.
    std::size_t read_all(std::uint8_t* out, std::size_t cap) const;

  private:
    int fd_;
};

// Points descriptor 1 at /dev/null once, so the program's prompts and echo
// do not flood the fuzzer's terminal (libFuzzer reports on descriptor 2).
// FUZZ_SHOW_OUTPUT set in the environment keeps it, to look at one input.
void silence_stdout();

// Gives the process a private mount namespace whose root is the host's
// (every top-level entry bound in place, so all paths stay valid) plus an
// empty /user of its own, on tmpfs. Needs root; false when it cannot be done.
bool enter_private_root_with_user();
// Then, in that namespace, an empty /tmp of its own on tmpfs, for the paths
// that write the application archive and other files there; the host's
// /tmp moves to /fuzz-host-tmp, where TMPDIR then points if it named /tmp.
bool mount_private_tmp();
// Both views a target's set-up asks for (the private /tmp only when
// private_tmp is set); without them the target says so on descriptor 2
// and exits 77, which ctest counts as skipped.
void enter_private_root_or_skip(const char* target, bool private_tmp);

// Whole files: written (aborts on failure), read back (empty when absent).
void write_file(const char* path, std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> read_path(const char* path);

// The console's answers: `text` becomes descriptor 0 (a pipe holding it,
// then its end); drain_stdin reads stdin's buffer to that end after a run.
void answer_on_stdin(const std::string& text);
void drain_stdin();

// Bytes of a fuzz input taken from the front, one field at a time.
class input_reader {
  public:
    explicit input_reader(std::span<const std::uint8_t> data) : data_(data) {}
    std::uint8_t byte()
    {
        if (data_.empty())
            return 0;
        const std::uint8_t b = data_.front();
        data_ = data_.subspan(1);
        return b;
    }
    std::span<const std::uint8_t> rest() const { return data_; }

  private:
    std::span<const std::uint8_t> data_;
};

// Rewrites the crc word of every whole, walkable component in an image so
// that the fuzzer reaches the code behind the checksum test. Stops at the
// first component that does not fit the bytes or cannot be walked.
void repair_component_crcs(std::span<std::uint8_t> image);

// Whether walking the image from its start meets a component of the type
// (before the walk ends or meets a component that cannot be walked).
bool image_has_component(std::span<const std::uint8_t> image, std::uint32_t type);

// Whether the bytes are one whole component of the type with a good crc
// (computed bit by bit), and nothing after it.
bool exactly_one_good_component(std::span<const std::uint8_t> bytes, std::uint32_t type);

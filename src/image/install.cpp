// The installer: walks an image file component by component, checks each
// one's checksum and size, and writes it to its flash partition or image
// slot. Components are never held whole in memory: each pass (checksum,
// then write) reads the image file one window at a time, so an installation
// needs the same few erase blocks of memory whatever the image's size. The
// write pass checksums again what it hands on: a file that changed between
// the passes (a stick pulled or rewritten at the slot question) fails the
// write instead of leaving unchecked bytes in flash, a slot or the archive.
#include "image/image.h"

#include "board/flash.h"
#include "board/i2c.h"
#include "boot/launch.h"
#include "image/crc.h"
#include "sys/command.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t CRC_START = 0xFFFFFFFF;
constexpr std::uint64_t MAP_WINDOW = 256 << 10; // bytes of the image read at a time
constexpr std::uint64_t SLOT_PIECE = 0x10000;   // slot files are written 64 KiB at a time
constexpr int SLOT_ANSWER_SIZE = 32;

// The image file, open for the whole call.
class image_fd {
  public:
    explicit image_fd(const char* path) : fd_(open(path, O_RDONLY | O_CLOEXEC)) {}
    ~image_fd() { reset(); }
    image_fd(const image_fd&) = delete;
    image_fd& operator=(const image_fd&) = delete;
    int get() const { return fd_; }
    void reset()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

// A copy of part of the image file, read with pread: a file that shrinks
// or a medium that fails gives a short read (no window), where a mapping
// would end the program with SIGBUS. Freed when it goes.
class file_window {
  public:
    file_window(int fd, std::uint64_t offset, std::uint64_t length)
        : data_(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(length)])
    {
        if (data_ && !read_fully(fd, offset, length))
            data_.reset();
    }
    const std::uint8_t* data() const { return data_.get(); }

  private:
    bool read_fully(int fd, std::uint64_t offset, std::uint64_t length)
    {
        for (std::uint64_t got = 0; got < length;) {
            const ssize_t n = pread(fd, data_.get() + got, static_cast<std::size_t>(length - got),
                                    static_cast<off_t>(offset + got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            got += static_cast<std::uint64_t>(n);
        }
        return true;
    }

    std::unique_ptr<std::uint8_t[]> data_;
};

// A slot file or the application archive being written.
class output_file {
  public:
    explicit output_file(const char* path) : f_(std::fopen(path, "wb")) {}
    ~output_file() { finish(); }
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    FILE* get() const { return f_; }
    // Closes the file; false when the data could not all be stored.
    bool finish()
    {
        if (!f_)
            return false;
        const bool ok = std::fclose(f_) == 0;
        f_ = nullptr;
        return ok;
    }

  private:
    FILE* f_;
};

// The component under the walk: its first 20 bytes, their meaning, and
// where it starts in the file.
struct component {
    std::uint8_t probe[COMPONENT_PROBE_SIZE];
    component_layout layout;
    std::uint64_t start;
};

// What handling one component led to.
enum class outcome { skipped, written, failed, boot_download };

// One partition component kind: its limit and its words on the console.
struct partition_kind {
    std::uint32_t type;
    const char* heading;
    const char* crc_name;  // in "Bad crc for %s: ..."
    const char* size_name; // in "%s image is too big for flash ..."
    const char* failure;
    std::uint32_t limit;
    bool payload_only; // the boot loader: len bytes of payload, limited by len
};

const partition_kind PARTITION_KINDS[] = {
    {TYPE_BOOTLOADER, "Installing Boot Loader: ", "UBOOT", "UBOOT", "Uboot image update failed", 0x80000,
     true},
    {TYPE_KERNEL, "Installing Kernel: ", "KERNEL", "KERNEL", "kernel image update failed", 0x800000, false},
    {TYPE_ROOTFS, "Installing Root Filesystem: ", "RFS", "RFS", "RFS image update failed", 0xA00000, false},
    {TYPE_DEVICETREE, "Installing Device Tree: ", "DFT", "DFT", "DFT image update failed", 0x40000, false},
    {TYPE_DIAGNOSTICS, "Installing Diagnostics: ", "DIAGNOSTICS IMAGE", "DIAGS", "DIAGS image update failed",
     0xA00000, false},
};

const partition_kind* partition_kind_of(std::uint32_t type)
{
    for (const partition_kind& k : PARTITION_KINDS)
        if (k.type == type)
            return &k;
    return nullptr;
}

int partition_fd_of(std::uint32_t type)
{
    switch (type) {
    case TYPE_BOOTLOADER:
        return uboot_fd;
    case TYPE_KERNEL:
        return kernel_fd;
    case TYPE_ROOTFS:
        return rfs_fd;
    case TYPE_DEVICETREE:
        return device_tree_fd;
    default:
        return rescue_fd;
    }
}

void print_percent(std::uint64_t done, std::uint64_t whole)
{
    std::printf("\b\b\b\b%3.3d%c", static_cast<int>(done * 100 / whole), '%');
}

void print_percent_done()
{
    std::printf("\b\b\b\b100%c\n", '%');
}

std::uint64_t file_size(int fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < 0)
        return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

// Reads the 20 bytes at a component's start; false when fewer remain.
// A start beyond what the file offset type holds lies past the end of any
// file: with a 32-bit off_t (the board) the cast would wrap it back into
// the file, and a walk whose sizes carry it past 4 GiB would go round for
// ever.
bool read_probe(int fd, std::uint64_t at, std::uint8_t* probe)
{
    std::memset(probe, 0, COMPONENT_PROBE_SIZE);
    if (at > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - COMPONENT_PROBE_SIZE)
        return false;
    std::size_t got = 0;
    while (got < COMPONENT_PROBE_SIZE) {
        ssize_t n = pread(fd, probe + got, COMPONENT_PROBE_SIZE - got, static_cast<off_t>(at + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// Chains gen_crc over a span of the file, one window at a time.
bool crc_of_span(int fd, std::uint64_t start, std::uint64_t length, std::uint32_t& crc)
{
    for (std::uint64_t done = 0; done < length;) {
        const std::uint64_t piece = std::min(MAP_WINDOW, length - done);
        file_window w(fd, start + done, piece);
        if (!w.data())
            return false;
        crc = gen_crc(w.data(), static_cast<std::uint32_t>(piece), crc);
        done += piece;
    }
    return true;
}

// Checks a component's checksum over bytes 4 to its end. A component that
// the file does not hold in full fails, with the checksum of what is there;
// so does one whose file shrinks or fails to read during the pass.
bool checksum_matches(int fd, std::uint64_t image_size, const component& c, const char* crc_name)
{
    const std::uint64_t end = std::min(c.start + c.layout.total, image_size);
    std::uint32_t crc = CRC_START;
    const bool read = crc_of_span(fd, c.start + 4, end - std::min(end, c.start + 4), crc);
    if (read && end == c.start + c.layout.total && crc == c.layout.header.crc)
        return true;
    std::printf("Bad crc for %s: 0x%08x, voiding download\n", crc_name, crc);
    return false;
}

// The checksum of what a write pass hands on, from the component's byte 4,
// to be compared with its crc once everything is written.
struct pass_check {
    std::uint64_t crc_from; // file offset of the component's byte 4
    std::uint32_t crc;
};

void note_handed_on(pass_check& check, std::uint64_t offset, const std::uint8_t* data, std::uint64_t length)
{
    const std::uint64_t skip = offset < check.crc_from ? std::min(length, check.crc_from - offset) : 0;
    check.crc = gen_crc(data + skip, static_cast<std::uint32_t>(length - skip), check.crc);
}

// Starts the check of a write pass that begins at `from`: the header bytes
// between byte 4 and `from`, which the boot loader's write leaves out, are
// checksummed first.
bool start_check(int fd, const component& c, std::uint64_t from, pass_check& check)
{
    check = {c.start + 4, CRC_START};
    return from <= check.crc_from || crc_of_span(fd, check.crc_from, from - check.crc_from, check.crc);
}

bool check_passed(const pass_check& check, const component& c)
{
    return check.crc == c.layout.header.crc;
}

bool is_power_of_two(std::uint32_t v)
{
    return v != 0 && (v & (v - 1)) == 0;
}

// True when the flash writer can take the span block by block: the geometry
// is usable and every block the span touches lies inside the partition, so
// no block of it is written when the whole would be refused.
bool blockwise_write_possible(int part_fd, std::uint32_t count)
{
    const std::uint32_t ss = theFlash.sector_size;
    if (theFlash.size == 0 || count == 0 || !is_power_of_two(ss))
        return false;
    std::uint32_t part_size = 0;
    if (!mtd_get_size(part_fd, &part_size))
        return false;
    const std::uint64_t blocks = (std::uint64_t{count} + ss - 1) / ss;
    return blocks * ss <= part_size;
}

// Hands the whole span to the flash writer in one call (its own progress
// display and its own refusals).
int write_flash_whole(int fd, std::uint64_t start, std::uint32_t count, int part_fd, pass_check& check)
{
    static const std::uint8_t nothing = 0;
    if (count == 0)
        return api_flash_write(&nothing, part_fd, 0, 0, 1);
    file_window w(fd, start, count);
    if (!w.data())
        return -1;
    note_handed_on(check, start, w.data(), count);
    return api_flash_write(w.data(), part_fd, 0, count, 1);
}

// Feeds the flash writer one erase block at a time from windows of the
// file, showing the same progress line as one call over the whole span would.
int write_flash_blockwise(int fd, std::uint64_t start, std::uint32_t count, int part_fd, pass_check& check)
{
    const std::uint32_t ss = theFlash.sector_size;
    const std::uint64_t blocks = (std::uint64_t{count} + ss - 1) / ss;
    const std::uint64_t window = std::max<std::uint64_t>(MAP_WINDOW, ss);
    std::printf("     ");
    std::uint64_t block = 0;
    for (std::uint64_t done = 0; done < count;) {
        const std::uint64_t piece = std::min<std::uint64_t>(window, count - done);
        file_window w(fd, start + done, piece);
        if (!w.data())
            return -1;
        note_handed_on(check, start + done, w.data(), piece);
        for (std::uint64_t off = 0; off < piece; off += ss, ++block) {
            const auto len = static_cast<std::uint32_t>(std::min<std::uint64_t>(ss, piece - off));
            const auto at = static_cast<std::uint32_t>(done + off);
            if (api_flash_write(w.data() + off, part_fd, at, len, 0) < 0)
                return -1;
            print_percent(block, blocks);
            std::fflush(stdout);
        }
        done += piece;
    }
    print_percent_done();
    std::fflush(stdout);
    return 0;
}

int write_flash_span(int fd, std::uint64_t start, std::uint32_t count, int part_fd, pass_check& check)
{
    if (blockwise_write_possible(part_fd, count))
        return write_flash_blockwise(fd, start, count, part_fd, check);
    return write_flash_whole(fd, start, count, part_fd, check);
}

outcome install_partition(int fd, std::uint64_t image_size, const component& c, const partition_kind& k,
                          std::uint8_t check_version, int slot)
{
    std::fputs(k.heading, stdout);
    std::fflush(stdout);
    if (!checksum_matches(fd, image_size, c, k.crc_name))
        return outcome::failed;
    const std::uint32_t tested = k.payload_only ? c.layout.header.len : c.layout.total;
    if (tested > k.limit) {
        std::printf("%s image is too big for flash (%d > %d)\n", k.size_name, static_cast<int>(tested),
                    static_cast<int>(k.limit));
        return outcome::failed;
    }
    if (check_version && verifyMatchingHeaders(c.probe, slot) == 1) {
        std::puts("Image has same version as existing image. Skipping update...");
        return outcome::skipped;
    }
    const std::uint64_t from = k.payload_only ? c.start + c.layout.payload_offset : c.start;
    pass_check check{};
    if (!start_check(fd, c, from, check) ||
        write_flash_span(fd, from, tested, partition_fd_of(k.type), check) < 0 || !check_passed(check, c)) {
        std::puts(k.failure);
        return outcome::failed;
    }
    if (k.type == TYPE_DIAGNOSTICS)
        std::puts("done");
    return outcome::written;
}

// The slot question: 1 or 2 from the first character of the answer, 0 for
// anything else (an empty line and end of input included).
int ask_slot()
{
    std::printf("Install image as image 1 or 2 (hit return to just boot image): ");
    std::fflush(stdout);
    char line[SLOT_ANSWER_SIZE];
    if (!std::fgets(line, sizeof line, stdin))
        return 0;
    // The rest of an over-long answer must not answer the next question.
    if (!std::strchr(line, '\n')) {
        int ch;
        while ((ch = std::getchar()) != EOF && ch != '\n') {
        }
    }
    if (line[0] == '1')
        return 1;
    if (line[0] == '2')
        return 2;
    return 0;
}

// Writes a span of the image file to an output file in pieces of at most
// SLOT_PIECE bytes; after each piece, shows the share written when asked.
// Returns the bytes written; stops at the first short write (errno set).
std::uint64_t copy_span(int fd, std::uint64_t start, std::uint64_t length, FILE* out, bool show_percent,
                        pass_check& check)
{
    std::uint64_t done = 0;
    while (done < length) {
        const std::uint64_t piece = std::min(MAP_WINDOW, length - done);
        file_window w(fd, start + done, piece);
        if (!w.data())
            return done;
        note_handed_on(check, start + done, w.data(), piece);
        for (std::uint64_t off = 0; off < piece;) {
            const std::size_t n = std::min(SLOT_PIECE, piece - off);
            const std::size_t put = std::fwrite(w.data() + off, 1, n, out);
            done += put;
            off += put;
            if (put != n)
                return done;
            if (show_percent)
                print_percent(done, length);
        }
    }
    return done;
}

// Writes the payload to the application archive; true when it is complete.
bool write_archive(int fd, const component& c)
{
    errno = 0;
    output_file out(APP_ARCHIVE);
    if (!out.get()) {
        std::printf("Image unpack failed (err %d)\n", errno);
        return false;
    }
    const std::uint64_t len = c.layout.header.len;
    const std::uint64_t from = c.start + c.layout.payload_offset;
    pass_check check{};
    if (!start_check(fd, c, from, check)) {
        std::printf("Image unpack failed (err %d)\n", EIO);
        return false;
    }
    const std::uint64_t put = copy_span(fd, from, len, out.get(), false, check);
    if (put == 0 || put != len || !out.finish()) {
        // A window that could not be read (the file shrank) sets no errno.
        std::printf("Image unpack failed (err %d)\n", errno ? errno : EIO);
        return false;
    }
    // The archive is launched next: it must hold the bytes that were checked.
    if (!check_passed(check, c)) {
        std::printf("Image unpack failed (err %d)\n", EIO);
        return false;
    }
    return true;
}

bool ensure_images_dir()
{
    if (path_exists("/user/images"))
        return true;
    // rwxr-xr-x, as the shell's mkdir of the same folder elsewhere makes it.
    return mkdir("/user/images", 0755) == 0;
}

// A slot whose write was cut short (power lost) keeps the new header over a
// short file: the same header alone must not stop the write that repairs it.
bool slot_file_holds(int slot, std::uint64_t total)
{
    struct stat st {};
    const std::string path = strprintf("/user/images/image%d", slot);
    return stat(path.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) >= total;
}

outcome install_slot(int fd, const component& c, std::uint8_t check_version, int slot)
{
    std::printf("Installing image as image%d: ", slot);
    std::fflush(stdout);
    if (check_version && verifyMatchingHeaders(c.probe, slot) == 1 && slot_file_holds(slot, c.layout.total)) {
        std::printf("Image%d has same version as existing image. Skipping update...\n", slot);
        return outcome::skipped;
    }
    ensure_images_dir();
    const std::string path = strprintf("/user/images/image%d", slot);
    errno = 0;
    output_file out(path.c_str());
    if (!out.get()) {
        std::printf("Image%d update failed (err %d)\n", slot, errno);
        return outcome::failed;
    }
    std::printf("    ");
    const std::uint64_t total = c.layout.total;
    pass_check check{};
    start_check(fd, c, c.start, check); // nothing to read: the write starts at byte 0
    if (copy_span(fd, c.start, total, out.get(), true, check) != total) {
        std::printf("Image%d update failed (err %d)\n", slot, errno ? errno : EIO);
        return outcome::failed;
    }
    // Bytes that differ from those checked must not become the selected
    // slot; the file stays as written, like any failed slot write.
    if (!check_passed(check, c)) {
        std::printf("Image%d update failed (err %d)\n", slot, EIO);
        return outcome::failed;
    }
    print_percent_done();
    // The data must be on flash before the image-select byte names the
    // slot, also on a file system that is not mounted synchronously.
    if (std::fflush(out.get()) != 0 || fsync(fileno(out.get())) != 0 || !out.finish()) {
        std::printf("Image%d update failed (err %d)\n", slot, errno);
        return outcome::failed;
    }
    std::printf("\nImage%d updated succeeded\n", slot);
    api_set_image(static_cast<std::uint8_t>(slot));
    return outcome::written;
}

outcome install_application(int fd, std::uint64_t image_size, const component& c, std::uint8_t check_version,
                            int& slot)
{
    std::fputs("Installing Application: ", stdout);
    std::fflush(stdout);
    if (!checksum_matches(fd, image_size, c, "APPLICATION"))
        return outcome::failed;
    if (slot == 0)
        slot = ask_slot();
    if (slot != 0)
        return install_slot(fd, c, check_version, slot);
    std::puts("Booting downloaded image");
    if (!write_archive(fd, c))
        return outcome::failed;
    std::puts("Image ready to boot...");
    return outcome::boot_download;
}

// Components whose geometry cannot be walked: a header shorter than the 20
// bytes read at every start, or a size beyond 32 bits.
bool component_walkable(const component& c)
{
    if (c.layout.sane)
        return true;
    // A plain header is always 16 bytes: only an extended one can be too
    // short. Anything else that is refused has a size beyond 32 bits.
    const bool extended = (c.layout.header.magic & MAGIC_EXTENDED) != 0;
    if (extended && c.layout.payload_offset < COMPONENT_PROBE_SIZE)
        std::printf("Bad header size %u for image component 0x%08x, voiding download\n",
                    static_cast<unsigned>(c.layout.payload_offset), c.layout.header.magic);
    else
        std::printf("Failed to allocate buffer for image (%d)\n", static_cast<int>(c.layout.total));
    return false;
}

outcome handle_component(int fd, std::uint64_t image_size, const component& c, std::uint8_t check_version,
                         int& slot)
{
    if (c.layout.type == TYPE_APPLICATION)
        return install_application(fd, image_size, c, check_version, slot);
    if (const partition_kind* k = partition_kind_of(c.layout.type))
        return install_partition(fd, image_size, c, *k, check_version, slot);
    return outcome::skipped; // unknown types are stepped over silently
}

} // namespace

int processVireoImage(const char* path, std::uint8_t check_version, int slot)
{
    image_fd image(path);
    if (image.get() < 0) {
        std::perror(path);
        return 0;
    }
    std::puts("\nExtracting images ... Do *NOT* power cycle the switch.");
    const std::uint64_t image_size = file_size(image.get());
    int installed = 0;
    component c{};
    c.start = 0;
    while (read_probe(image.get(), c.start, c.probe)) {
        c.layout = component_from_probe(c.probe);
        display_header(&c.layout.header, 0);
        if (!component_walkable(c))
            return 0;
        const outcome done = handle_component(image.get(), image_size, c, check_version, slot);
        if (done == outcome::failed)
            return 0;
        if (done == outcome::boot_download) {
            image.reset();
            launch_image(false);
        }
        if (done == outcome::written)
            installed = 1;
        c.start += c.layout.total;
    }
    std::puts("File processed");
    image.reset();
    if (!installed)
        std::puts("ERROR: No valid image found");
    return installed;
}

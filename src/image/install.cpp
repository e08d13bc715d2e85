// The installer: walks an image file component by component, checks each
// one's checksum and size, and writes it to its flash partition or image
// slot. Components are never held whole in memory: each pass (checksum,
// then write) reads the image file one window at a time, so an installation
// needs the same few erase blocks of memory whatever the image's size. The
// write pass checksums again what it hands on: a file that changed between
// the passes (a stick pulled or rewritten at the slot question) fails the
// write instead of leaving unchecked bytes in flash, a slot or the archive.
#include "image/image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>

#include "board/flash.h"
#include "board/i2c.h"
#include "boot/launch.h"
#include "image/crc.h"
#include "sys/command.h"
#include "sys/files.h"
#include "sys/paths.h"

namespace {

constexpr std::uint64_t SLOT_PIECE = 0x10000; // slot files are written 64 KiB at a time
constexpr int SLOT_ANSWER_SIZE = 32;

// What handling one component led to.
enum class outcome { skipped, written, failed, boot_download };

// Checks a component's checksum over bytes 4 to its end. A component that
// the file does not hold in full fails, with the checksum of what is there;
// so does one whose file shrinks or fails to read during the pass.
bool checksum_matches(int fd, std::uint64_t image_size, const image_component& c, const char* crc_name)
{
    const std::uint64_t end = std::min(next_component_start(c), image_size);
    const std::uint64_t from = std::min(end, c.start + 4);
    std::uint32_t crc = IMAGE_CRC_START;
    const bool read = crc_of_file_range(fd, {from, end - from}, &crc);
    if (read && component_within(c, image_size) && crc == c.layout.header.crc)
        return true;
    std::printf("Bad crc for %s: 0x%08x, voiding download\n", crc_name, crc);
    return false;
}

// How a write pass ended: every byte handed on, and they are those the
// checksum pass checked; a window that could not be read or that the
// output refused; or bytes that differ from those checked (the file changed
// between the passes: a stick pulled or rewritten at the slot question).
enum class pass_result { handed_on, failed, altered };

// One write pass: `span` of the image file, window by window, each window
// handed to put(window) and checksummed as it goes, from the component's
// byte 4 (header bytes before the span, which the boot loader's write
// leaves out, are checksummed first).
template <typename Put>
pass_result write_pass(int fd, const image_component& c, const file_range& span, Put&& put)
{
    const std::uint64_t crc_from = c.start + 4;
    std::uint32_t crc = IMAGE_CRC_START;
    if (span.offset > crc_from && !crc_of_file_range(fd, {crc_from, span.offset - crc_from}, &crc))
        return pass_result::failed;
    window_reader reader(fd, span.offset, span.count);
    for (auto w = reader.next(); !w.empty(); w = reader.next()) {
        const std::uint64_t at = reader.window_offset();
        const auto skip =
            static_cast<std::size_t>(at < crc_from ? std::min<std::uint64_t>(w.size(), crc_from - at) : 0);
        crc = gen_crc(w.data() + skip, static_cast<std::uint32_t>(w.size() - skip), crc);
        if (!put(w))
            return pass_result::failed;
    }
    if (reader.failed())
        return pass_result::failed;
    return crc == c.layout.header.crc ? pass_result::handed_on : pass_result::altered;
}

// The flash writer takes the span block by block as the windows come, so
// that a partition component is never whole in memory.
bool write_partition(int fd, const image_component& c, const file_range& span, std::uint32_t type)
{
    partition_place place{};
    if (!partition_of_type(type, &place))
        return false;
    flash_span_writer writer(place.fd, 0, static_cast<std::uint32_t>(span.count), 1);
    if (!writer.ok())
        return false;
    const pass_result r =
        write_pass(fd, c, span, [&](std::span<const std::uint8_t> w) { return writer.write(w); });
    // Written bytes that differ from those checked still end their progress
    // line before the failure is reported.
    return r != pass_result::failed && writer.finish() && r == pass_result::handed_on;
}

outcome install_partition(int fd, std::uint64_t image_size, const image_component& c, const component_kind& k,
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
    const file_range span = k.payload_only ? payload_range(c) : file_range{c.start, c.layout.total};
    if (!write_partition(fd, c, span, k.type)) {
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
        int ch = 0;
        do
            ch = std::getchar();
        while (ch != EOF && ch != '\n');
    }
    if (line[0] == '1')
        return 1;
    if (line[0] == '2')
        return 2;
    return 0;
}

// Writes the payload to the application archive; true when it is complete.
// "Nothing written" is a failure too, an empty payload included.
bool write_archive(int fd, const image_component& c)
{
    errno = 0;
    file_ptr out(std::fopen(APP_ARCHIVE, "wb"));
    if (!out) {
        std::printf("Image unpack failed (err %d)\n", errno);
        return false;
    }
    const pass_result r = write_pass(fd, c, payload_range(c), [&](std::span<const std::uint8_t> w) {
        return std::fwrite(w.data(), 1, w.size(), out.get()) == w.size();
    });
    const bool closed = close_file(out);
    if (c.layout.header.len == 0 || r == pass_result::failed || !closed) {
        // A window that could not be read (the file shrank) sets no errno.
        std::printf("Image unpack failed (err %d)\n", errno ? errno : EIO);
        return false;
    }
    // The archive is launched next: it must hold the bytes that were checked.
    if (r == pass_result::altered) {
        std::printf("Image unpack failed (err %d)\n", EIO);
        return false;
    }
    return true;
}

bool ensure_images_dir()
{
    if (path_exists(IMAGES_DIR))
        return true;
    // rwxr-xr-x, as the shell's mkdir of the same folder elsewhere makes it.
    return mkdir(IMAGES_DIR, 0755) == 0;
}

// A slot whose write was cut short (power lost) keeps the new header over a
// short file: the same header alone must not stop the write that repairs it.
bool slot_file_holds(int slot, std::uint64_t total)
{
    struct stat st {};
    return stat(slot_path(slot).c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) >= total;
}

// The whole component into the slot file, in pieces of SLOT_PIECE bytes,
// each followed by the share written so far.
pass_result write_slot_file(int fd, const image_component& c, FILE* out)
{
    const std::uint64_t total = c.layout.total;
    std::uint64_t done = 0;
    return write_pass(fd, c, {c.start, total}, [&](std::span<const std::uint8_t> w) {
        while (!w.empty()) {
            const auto piece = w.first(std::min<std::size_t>(w.size(), SLOT_PIECE));
            if (std::fwrite(piece.data(), 1, piece.size(), out) != piece.size())
                return false;
            done += piece.size();
            w = w.subspan(piece.size());
            show_progress(done, total);
        }
        return true;
    });
}

outcome install_slot(int fd, const image_component& c, std::uint8_t check_version, int slot)
{
    std::printf("Installing image as image%d: ", slot);
    std::fflush(stdout);
    if (check_version && verifyMatchingHeaders(c.probe, slot) == 1 && slot_file_holds(slot, c.layout.total)) {
        std::printf("Image%d has same version as existing image. Skipping update...\n", slot);
        return outcome::skipped;
    }
    ensure_images_dir();
    errno = 0;
    file_ptr out(std::fopen(slot_path(slot).c_str(), "wb"));
    if (!out) {
        std::printf("Image%d update failed (err %d)\n", slot, errno);
        return outcome::failed;
    }
    std::printf("    ");
    const pass_result r = write_slot_file(fd, c, out.get());
    if (r == pass_result::failed) {
        std::printf("Image%d update failed (err %d)\n", slot, errno ? errno : EIO);
        return outcome::failed;
    }
    // Bytes that differ from those checked must not become the selected
    // slot; the file stays as written, like any failed slot write.
    if (r == pass_result::altered) {
        std::printf("Image%d update failed (err %d)\n", slot, EIO);
        return outcome::failed;
    }
    show_progress_done();
    // The data must be on flash before the image-select byte names the
    // slot, also on a file system that is not mounted synchronously.
    if (std::fflush(out.get()) != 0 || fsync(fileno(out.get())) != 0 || !close_file(out)) {
        std::printf("Image%d update failed (err %d)\n", slot, errno);
        return outcome::failed;
    }
    std::printf("\nImage%d updated succeeded\n", slot);
    api_set_image(static_cast<std::uint8_t>(slot));
    return outcome::written;
}

outcome install_application(int fd, std::uint64_t image_size, const image_component& c,
                            std::uint8_t check_version, int& slot)
{
    const component_kind& k = *component_kind_of(TYPE_APPLICATION);
    std::fputs(k.heading, stdout);
    std::fflush(stdout);
    if (!checksum_matches(fd, image_size, c, k.crc_name))
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
bool component_walkable(const image_component& c)
{
    if (c.layout.sane)
        return true;
    if (c.layout.fault == header_fault::short_header)
        std::printf("Bad header size %u for image component 0x%08x, voiding download\n",
                    static_cast<unsigned>(c.layout.payload_offset), c.layout.header.magic);
    else
        std::printf("Failed to allocate buffer for image (%d)\n", static_cast<int>(c.layout.total));
    return false;
}

outcome handle_component(int fd, std::uint64_t image_size, const image_component& c,
                         std::uint8_t check_version, int& slot)
{
    if (c.layout.type == TYPE_APPLICATION)
        return install_application(fd, image_size, c, check_version, slot);
    if (const component_kind* k = component_kind_of(c.layout.type))
        return install_partition(fd, image_size, c, *k, check_version, slot);
    return outcome::skipped; // unknown types are stepped over silently
}

} // namespace

int processVireoImage(const char* path, std::uint8_t check_version, int slot)
{
    unique_fd image(open(path, O_RDONLY | O_CLOEXEC));
    if (!image) {
        std::perror(path);
        return 0;
    }
    std::puts("\nExtracting images ... Do *NOT* power cycle the switch.");
    const long long size = file_size_of(image.get());
    const std::uint64_t image_size = size > 0 ? static_cast<std::uint64_t>(size) : 0;
    int installed = 0;
    image_component c;
    for (std::uint64_t at = 0; read_component_at(image.get(), at, &c); at = next_component_start(c)) {
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
    }
    std::puts("File processed");
    image.reset();
    if (!installed)
        std::puts("ERROR: No valid image found");
    return installed;
}

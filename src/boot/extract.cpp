// Application image extraction: find the application or diagnostics
// component of an image slot, the USB boot image or the rescue partition,
// check its CRC, write its payload to the application archive and hand over
// to the launch; and decide what follows when an image is missing or bad.
//
// A component is never held whole in memory: its CRC is computed over the
// file (or the rescue partition) piece by piece, and the archive receives
// the payload only once the CRC has matched, so a damaged component never
// reaches it. From a slot file the payload goes into a hidden staging file
// beside the archive, which takes the archive's name when the CRC matches;
// the copy runs while the CRC is being computed (one pass over the slot
// file, not two).
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "board/flash.h"
#include "board/i2c.h"
#include "boot/extract.h"
#include "boot/launch.h"
#include "boot/settings.h"
#include "boot/start.h"
#include "boot/usb_boot.h"
#include "image/crc.h"
#include "image/image.h"
#include "rescue/rescue.h"
#include "sys/command.h"
#include "sys/files.h"
#include "sys/paths.h"

namespace {

bool bootable_type(std::uint32_t type)
{
    return type == TYPE_APPLICATION || type == TYPE_DIAGNOSTICS;
}

void report(const char* text)
{
    std::fputs(text, stderr);
}

void report_implausible(std::uint64_t offset, const component_layout& c)
{
    report_implausible_header(
        strprintf("Component at offset %llu", static_cast<unsigned long long>(offset)).c_str(), c);
}

// The end of the road when nothing bootable is left: the rescue menu, the
// operator's shell, then a reset.
[[noreturn]] void rescue_then_reset()
{
    run_rescue_mode();
    shell_step();
    board_reset();
}

[[noreturn]] void shell_then_reset()
{
    shell_step();
    board_reset();
}

// Opens the requested slot, else the other one. *opened receives the slot
// actually opened: messages, the booted-image byte and the GDB source
// follow the file that is really booted.
file_ptr open_slot_or_other(int n, int* opened)
{
    const int other = other_slot(n);
    file_ptr f(std::fopen(slot_path(n).c_str(), "rb"));
    *opened = n;
    if (f)
        return f;
    std::fprintf(stderr, "Failed to open Application image %d. Trying image %d.\n", n, other);
    f.reset(std::fopen(slot_path(other).c_str(), "rb"));
    *opened = other;
    if (!f) {
        std::fprintf(stderr, "Failed to open Application image %d.\n", other);
        rescue_then_reset();
    }
    return f;
}

// The USB boot image, with the rejected list: a new image enters the list
// before anything of it is verified; a listed one needs the operator's yes.
file_ptr open_usb_image()
{
    file_ptr f(std::fopen(USB_BOOT_IMAGE, "rb"));
    if (!f) {
        report("Failed to open application image from USB.\n");
        return nullptr;
    }
    if (usb_is_image_rejected(USB_BOOT_IMAGE)) {
        if (!yesno_question("USB image is in rejected list.\nWould you still like to load it? "))
            return nullptr;
        std::puts("Continuing to load USB image...");
    } else {
        usb_add_image_to_reject_list(USB_BOOT_IMAGE);
    }
    return f;
}

// Whether a failure of image n leaves nothing to try here. The USB image's
// failure is reported and the caller goes on with the flash images (true).
// A slot's failure on the second try (tried_alt_image) is reported and ends
// the boot: in rescue mode first when `rescue_first`, then the shell and a
// reset. False on the first try: the caller reports it and the other slot
// follows.
bool no_slot_left(int n, const char* usb_failure, const char* last_failure, bool rescue_first)
{
    if (n != IMAGE_USB && !tried_alt_image)
        return false;
    report(n == IMAGE_USB ? usb_failure : last_failure);
    if (n == IMAGE_USB)
        return true;
    if (rescue_first)
        run_rescue_mode();
    shell_then_reset();
}

// No application or diagnostics component in the file.
int fall_back_after_missing_component(int n, const component_layout& last)
{
    if (!no_slot_left(n, "Error: USB image corrupted or belongs to another switch type.\n",
                      "No valid application image found. Trying rescue image\n", true)) {
        std::fprintf(stderr, "Image has invalid header 0x%x. (0x%x)\n", last.header.magic, 0x6504547u);
        std::fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", n, other_slot(n));
    }
    return 0;
}

// The component's CRC did not match, or it could not be read whole.
int fall_back_after_crc_failure(int n)
{
    if (!no_slot_left(n, "USB image CRC failed.", "Both image1 and image2 failed.\n", false))
        std::fprintf(stderr, "Image%d CRC failed, trying Image%d now.\n", n, other_slot(n));
    return 0;
}

// The hidden file beside an archive that receives its payload before the
// CRC has been checked; removed unless it is committed, when it replaces
// the archive in one rename.
class staged_archive {
  public:
    explicit staged_archive(const std::string& archive) : archive_(archive), path_(hidden_name(archive))
    {
        // O_EXCL never follows a link planted under the name; what an
        // earlier run left there is removed once.
        for (int attempt = 0; attempt < 2 && !fd_; ++attempt) {
            fd_.reset(open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (!fd_ && (errno != EEXIST || unlink(path_.c_str()) != 0))
                break;
        }
    }
    ~staged_archive()
    {
        if (fd_) {
            fd_.reset();
            unlink(path_.c_str());
        }
    }
    staged_archive(const staged_archive&) = delete;
    staged_archive& operator=(const staged_archive&) = delete;

    int fd() const { return fd_.get(); }
    bool commit()
    {
        if (close(fd_.release()) == 0 && rename(path_.c_str(), archive_.c_str()) == 0)
            return true;
        unlink(path_.c_str());
        return false;
    }

  private:
    static std::string hidden_name(const std::string& archive)
    {
        const std::size_t slash = archive.rfind('/');
        const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
        return strprintf("%s.%s.%ld", archive.substr(0, base).c_str(), archive.substr(base).c_str(),
                         static_cast<long>(getpid()));
    }

    std::string archive_;
    std::string path_;
    unique_fd fd_;
};

// A CRC check on a helper thread.
struct crc_check_job {
    int fd;
    file_range range;
    std::uint32_t expected;
    int result;
};

void* run_crc_check(void* arg)
{
    auto* job = static_cast<crc_check_job*>(arg);
    job->result = CheckCrc(job->fd, job->range, job->expected);
    return nullptr;
}

// The processors this process may run on (a board has one; a process
// confined to one with taskset has one too).
bool several_processors()
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    return sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 1;
}

// Components from this size on are copied while their CRC is checked on a
// second processor: both read the same page-cache pages, so the pair takes
// about as long as the copy alone, and a file not yet cached is read from
// its medium once.
constexpr std::uint64_t CRC_BESIDE_COPY_MIN = 16u << 20;

extract_result result_of(int crc_check, copy_result copied)
{
    // A read that failed in the copy means the bytes copied are not known to
    // be those checked.
    if (crc_check != 0 || copied == copy_result::read_failed)
        return extract_result::crc_failed;
    return copied == copy_result::copied ? extract_result::copied : extract_result::write_failed;
}

// The payload into the staging file while the CRC is checked. A long
// component on a machine with several processors is copied by the kernel
// while a helper thread computes the CRC; otherwise (a board has one
// processor) each window is read once, checksummed and written, so the
// file is read once from its medium and the staging file, discarded on a
// mismatch, keeps a damaged component from the archive.
extract_result copy_checked_payload(int fd, const image_component& c, int staged_fd)
{
    if (crc_range(c).count >= CRC_BESIDE_COPY_MIN && several_processors()) {
        crc_check_job job{fd, crc_range(c), c.layout.header.crc, 1};
        pthread_t helper{};
        if (pthread_create(&helper, nullptr, run_crc_check, &job) == 0) {
            const copy_result copied = copy_file_range_to(fd, payload_range(c), staged_fd);
            pthread_join(helper, nullptr);
            return result_of(job.result, copied);
        }
    }
    std::uint32_t crc = IMAGE_CRC_START;
    const copy_result copied = copy_payload_with_crc(fd, c, staged_fd, &crc);
    return result_of(crc == c.layout.header.crc ? 0 : 1, copied);
}

// The rescue partition's component, read through the flash layer in
// windows as a file is.
bool rescue_component_crc_matches(const component_layout& c)
{
    const auto piece = std::make_unique<std::uint8_t[]>(IMAGE_WINDOW);
    std::uint32_t crc = IMAGE_CRC_START;
    for (std::uint32_t off = 4; off < c.total;) {
        const std::uint32_t n = std::min<std::uint32_t>(c.total - off, IMAGE_WINDOW);
        if (api_flash_read(piece.get(), rescue_fd, off, n) != 0)
            return false;
        crc = gen_crc(piece.get(), n, crc);
        off += n;
    }
    return crc == c.header.crc;
}

bool copy_flash_range(std::uint32_t offset, std::uint32_t count, FILE* out)
{
    const auto piece = std::make_unique<std::uint8_t[]>(IMAGE_WINDOW);
    while (count > 0) {
        const std::uint32_t n = std::min<std::uint32_t>(count, IMAGE_WINDOW);
        if (api_flash_read(piece.get(), rescue_fd, offset, n) != 0 ||
            std::fwrite(piece.get(), 1, n, out) != n)
            return false;
        offset += n;
        count -= n;
    }
    return true;
}

[[noreturn]] void boot_component(int n, const component_layout& c)
{
    api_set_booted_image(static_cast<std::uint8_t>(n));
    if (gdb_enable && !gdbserver_enable)
        extract_gdb(n);
    launch_image(c.type == TYPE_DIAGNOSTICS);
}

} // namespace

int CheckCrc(int fd, const file_range& range, std::uint32_t expected)
{
    std::uint32_t crc = IMAGE_CRC_START;
    return crc_of_file_range(fd, range, &crc) && crc == expected ? 0 : 1;
}

int parse_image(FILE* stream, std::uint8_t* header20)
{
    std::memset(header20, 0, COMPONENT_PROBE_SIZE);
    image_component c;
    for (std::uint64_t at = 0; read_component_at(fileno(stream), at, &c); at = next_component_start(c)) {
        std::memcpy(header20, c.probe, sizeof c.probe);
        if (!c.layout.sane) {
            report_implausible(c.start, c.layout);
            return 0;
        }
        if (bootable_type(c.layout.type))
            return fseeko(stream, static_cast<off_t>(c.start), SEEK_SET) == 0 ? 1 : 0;
    }
    return 0;
}

extract_result extract_component(FILE* src, const std::string& archive, component_layout* layout)
{
    image_component c;
    const int found = parse_image(src, c.probe);
    c.layout = *layout = component_from_probe(c.probe);
    if (!found)
        return extract_result::no_component;
    c.start = static_cast<std::uint64_t>(ftello(src));
    staged_archive staged(archive);
    if (staged.fd() < 0)
        return extract_result::write_failed;
    const extract_result r = copy_checked_payload(fileno(src), c, staged.fd());
    if (r != extract_result::copied)
        return r;
    return staged.commit() ? extract_result::copied : extract_result::write_failed;
}

int extract_image(int image_number)
{
    if (image_number != IMAGE_SLOT1 && image_number != IMAGE_SLOT2 && image_number != IMAGE_USB)
        return 0;
    int n = image_number;
    file_ptr src = n == IMAGE_USB ? open_usb_image() : open_slot_or_other(image_number, &n);
    if (!src)
        return 0;

    // The archive is created (emptied) first, so that one that cannot be
    // created ends the boot before any work; its contents then come whole
    // from the staging file.
    file_ptr archive(std::fopen(APP_ARCHIVE, "wb"));
    if (!archive) {
        report("Failed to open application image output file.\n");
        src.reset();
        shell_then_reset();
    }
    archive.reset();

    component_layout c{};
    const extract_result r = extract_component(src.get(), APP_ARCHIVE, &c);
    src.reset();
    if (r == extract_result::no_component)
        return fall_back_after_missing_component(n, c);
    if (r == extract_result::crc_failed)
        return fall_back_after_crc_failure(n);
    // A failed write (a full /tmp) would leave a truncated archive that only
    // fails later: it ends the boot like an archive that cannot be created.
    if (r == extract_result::write_failed) {
        report("Failed to write application image output file.\n");
        shell_then_reset();
    }
    boot_component(n, c);
}

namespace {

// The recovery image goes into the slot the operator names: the whole
// component, header included, copied through the download file.
[[noreturn]] void install_recovery_image(char slot_char, const component_layout& c)
{
    std::printf("\nInstalling recovery image as image%c...\n", slot_char);
    file_ptr copy(std::fopen(DOWNLOAD_FILE, "wb"));
    if (!copy) {
        report("Failed to open image file.\n");
        board_reset();
    }
    const bool copied = copy_flash_range(0, c.total, copy.get());
    if (std::fclose(copy.release()) != 0 || !copied) {
        // A partial copy must not become the slot's image.
        report("Failed to write image file.\n");
        std::remove(DOWNLOAD_FILE);
        board_reset();
    }
    run_command(strprintf("mkdir %s &> /dev/null", IMAGES_DIR));
    // A copy that did not complete must not become the selected slot.
    const int slot = slot_char - '0';
    if (run_command(strprintf("cp %s %s\n", DOWNLOAD_FILE, slot_path(slot).c_str())) != 0) {
        report("Failed to write image file.\n");
        board_reset();
    }
    std::printf("Setting boot image to %d\n", slot);
    api_set_image(static_cast<std::uint8_t>(slot));
    api_set_booted_image(static_cast<std::uint8_t>(slot));
    launch_image(false);
}

[[noreturn]] void boot_recovery_image(const component_layout& c)
{
    std::fputs("Install recovery image as image 1 or 2 (hit return to just boot image): ", stdout);
    std::fflush(stdout);
    char answer[8] = {};
    if (!std::fgets(answer, sizeof answer, stdin))
        launch_image(false);
    if (answer[0] == '1' || answer[0] == '2')
        install_recovery_image(answer[0], c);
    std::puts("\nBooting recovery image. You will need to download and install an image before rebooting");
    api_set_booted_image(BOOTED_RESCUE);
    launch_image(false);
}

} // namespace

int extract_image_from_flash()
{
    file_ptr archive(std::fopen(APP_ARCHIVE, "wb"));
    if (!archive) {
        report("Failed to open AppOS tarfile.\n");
        board_reset();
    }
    std::uint8_t probe[COMPONENT_PROBE_SIZE] = {};
    if (api_flash_read(probe, rescue_fd, 0, sizeof probe) != 0)
        std::memset(probe, 0, sizeof probe);
    const component_layout c = component_from_probe(probe);
    if (!bootable_type(c.type)) {
        report("Image not found... \n");
        return 0;
    }
    if (!c.sane) {
        report_implausible(0, c);
        return 0;
    }
    if (!rescue_component_crc_matches(c)) {
        report("Image CRC failed. Quitting\n");
        return 0;
    }
    const bool copied = copy_flash_range(c.payload_offset, c.header.len, archive.get());
    if (std::fclose(archive.release()) != 0 || !copied) {
        report("Failed to write AppOS tarfile.\n");
        board_reset();
    }
    if (c.type == TYPE_DIAGNOSTICS) {
        std::puts("Launching diagnostics image");
        api_set_booted_image(BOOTED_RESCUE);
        launch_image(true);
    }
    boot_recovery_image(c);
}

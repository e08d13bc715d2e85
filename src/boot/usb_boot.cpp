// USB boot: waiting for the stick that the outside agent mounts, the
// boot-loader update and slot replacements from it, the rejected list of USB
// boot images keyed by content digest, and the timed yes/no question.
#include "boot/usb_boot.h"

#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "boot/start.h"
#include "image/image.h"
#include "sys/command.h"
#include "sys/files.h"
#include "sys/paths.h"

namespace {

constexpr int USB_MOUNT_ATTEMPTS = 10;
constexpr const char* USB_READY_MARKER = "/tmp/usb";
constexpr const char* USB_BOOTLOADER_FILE = "/mnt/usb/KV4410NX_Boot.img";
constexpr const char* MD5_OUTPUT = "/tmp/img_md5string";
constexpr std::size_t MD5_TEXT_LEN = 32;
constexpr int YESNO_TIMEOUT_MS = 5000;
constexpr std::uint8_t CHECK_VERSION = 1;

// A replacement offer either installed its slot, installed nothing, or was
// refused by the operator, which ends the whole look at the stick.
enum class offer { installed, skipped, refused };

// The digest becomes a file name and a shell word: only 32 hexadecimal
// digits are taken as one.
bool is_md5_text(const char* text, std::size_t length)
{
    if (length != MD5_TEXT_LEN)
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

std::string rejected_entry(const char* md5)
{
    return strprintf("%s/%s", REJECTED_DIR, md5);
}

offer offer_replacement(int slot)
{
    const std::string name = strprintf("KV4410NX_replace%d_OS.img", slot);
    const std::string path = strprintf("%s/%s", USB_DIR, name.c_str());
    if (!path_exists(path.c_str()))
        return offer::skipped;
    std::printf("USB image (file '%s') replacement for image%d found\n", name.c_str(), slot);
    if (usb_is_image_rejected(path.c_str())) {
        if (!yesno_question("Replacement USB image is in rejected list.\nWould you still like to load it? "))
            return offer::refused;
        std::puts("Continuing with replacement USB image...");
    }
    if (!processVireoImage(path.c_str(), CHECK_VERSION, slot))
        return offer::skipped;
    std::printf("Image%d has been successfully replaced\n", slot);
    return offer::installed;
}

// One wait for the answer key: a byte read, a wait that brought no byte
// (ask again), no answer in time (time-out, signal), or none ever (end of
// input, which would otherwise repeat the prompt without end).
enum class key { answered, again, timed_out, ended };

key read_answer_key(unsigned char* c)
{
    struct pollfd p {};
    p.fd = 0;
    p.events = POLLIN;
    if (::poll(&p, 1, YESNO_TIMEOUT_MS) <= 0)
        return key::timed_out;
    const ssize_t got = ::read(0, c, 1);
    if (got == 1)
        return key::answered;
    return got == 0 ? key::ended : key::again;
}

} // namespace

int usb_mount()
{
    if (!usb_boot_enabled)
        return 0;
    std::printf("Attempting to mount file system on USB flash drive; this can take up to %d seconds.\n",
                USB_MOUNT_ATTEMPTS);
    std::fflush(stdout);
    ::sleep(1);
    bool dots = false;
    for (int attempt = 0; attempt < USB_MOUNT_ATTEMPTS; ++attempt) {
        if (path_exists(USB_READY_MARKER)) {
            if (dots)
                std::putchar('\n');
            std::puts("USB mounted and ready!");
            return 0;
        }
        std::putchar('.');
        std::fflush(stdout);
        dots = true;
        ::sleep(1);
    }
    std::putchar('\n');
    std::puts("USB mount timed out");
    return -1;
}

void usb_update_boot()
{
    if (!path_exists(USB_BOOTLOADER_FILE)) {
        std::puts("No boot image found on USB.");
        return;
    }
    std::puts("Boot image found on USB.");
    if (processVireoImage(USB_BOOTLOADER_FILE, CHECK_VERSION, 0))
        board_reset();
}

int usb_which_image()
{
    int result = 0;
    for (const int slot : {IMAGE_SLOT2, IMAGE_SLOT1}) {
        const offer o = offer_replacement(slot);
        if (o == offer::refused)
            return 0;
        if (o == offer::installed)
            result = slot;
    }
    if (result != 0) {
        std::printf("USB replacement image: board will boot with image%d.\n", result);
        return result;
    }
    if (path_exists(USB_BOOT_IMAGE))
        return IMAGE_USB;
    std::puts("No valid image found on USB");
    return 0;
}

int get_md5string(const char* path, char* text)
{
    run_command(strprintf("/bin/busybox md5sum %s > %s", shell_quote(path).c_str(), MD5_OUTPUT));
    const file_ptr f(std::fopen(MD5_OUTPUT, "r"));
    if (!f)
        return 0;
    char digest[MD5_TEXT_LEN];
    const std::size_t got = std::fread(digest, 1, sizeof digest, f.get());
    if (!is_md5_text(digest, got))
        return 0;
    std::memcpy(text, digest, MD5_TEXT_LEN);
    text[MD5_TEXT_LEN] = '\0';
    return 1;
}

int usb_is_image_rejected(const char* path)
{
    char md5[MD5_TEXT_LEN + 1];
    if (!get_md5string(path, md5)) {
        std::puts("Warning: Cannot determine if image is in rejected list!");
        return 0;
    }
    return path_exists(rejected_entry(md5).c_str()) ? 1 : 0;
}

void usb_add_image_to_reject_list(const char* path)
{
    char md5[MD5_TEXT_LEN + 1];
    if (!get_md5string(path, md5)) {
        std::puts("Warning: Cannot add image to rejected list!");
        return;
    }
    const std::string entry = rejected_entry(md5);
    if (path_exists(entry.c_str()))
        return;
    run_command(strprintf("mkdir -p %s", REJECTED_DIR));
    run_command(strprintf("touch %s", shell_quote(entry).c_str()));
}

int yesno_question(const char* question)
{
    // Printed as it stands, never as a format.
    std::fputs(question, stdout);
    for (;;) {
        std::fputs("(y/n) ", stdout);
        std::fflush(stdout);
        unsigned char c = 0;
        const key k = read_answer_key(&c);
        if (k == key::timed_out) {
            std::puts("\nTimeout. Assuming \"no\".");
            return 0;
        }
        // No time has passed: the answer can never come.
        if (k == key::ended) {
            std::puts("\nConsole input has ended. Assuming \"no\".");
            return 0;
        }
        if (k == key::answered && c == 'y')
            return 1;
        if (k == key::answered && c == 'n')
            return 0;
    }
}

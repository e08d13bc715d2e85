// The three rescue downloads: an image file from the USB stick, from a
// TFTP server through the management port, or by Xmodem over the console
// with the external receiver. Each hands the file to the installer.

// 64-bit directory offsets and inode numbers: a 32-bit readdir gives up
// (EOVERFLOW) on file systems whose directory offsets are 64-bit hashes.
#define _FILE_OFFSET_BITS 64

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "boot/start.h"
#include "image/image.h"
#include "net/mgmt.h"
#include "rescue/rescue.h"
#include "serial/xmodem.h"
#include "sys/command.h"
#include "sys/files.h"
#include "sys/paths.h"

namespace {

constexpr int LINE_SIZE = 128;
constexpr const char* AFTER_USB_DIR = "/tmp";
constexpr int TFTP_ATTEMPTS = 3;
constexpr unsigned TFTP_RETRY_SECONDS = 3;

// An entry counts unless lstat names it a directory: ".", ".." and
// subdirectories are skipped, a symbolic link counts as an entry of its own.
// An entry lstat cannot examine still counts, so that both readings of the
// directory number the same entries alike. The entry is looked up in the
// open directory itself, not through the working directory.
bool counts_as_file(DIR* dir, const char* name)
{
    struct stat st {};
    return ::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode);
}

// The working directory is /mnt/usb while the stick is read and /tmp after;
// nothing here depends on the change succeeding.
void change_dir(const char* path)
{
    [[maybe_unused]] const int ignored = ::chdir(path);
}

// A name from the stick as it may be shown on the console: control bytes
// would let a crafted name move the cursor, fake listing lines or send
// commands to the operator's terminal, so they are shown as '?'.
std::string printable_name(const char* name)
{
    std::string out = name;
    for (char& c : out) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            c = '?';
    }
    return out;
}

void list_usb_files(DIR* dir)
{
    int number = 1;
    while (const struct dirent* entry = ::readdir(dir)) {
        if (!counts_as_file(dir, entry->d_name))
            continue;
        std::printf("\t%d: %s\n", number, printable_name(entry->d_name).c_str());
        ++number;
    }
}

// Asks for the number of the file to install. False when the operator quit.
bool ask_usb_file_number(int* choice)
{
    std::printf("Choose file number to install (q to quit): ");
    std::fflush(stdout);
    char line[LINE_SIZE];
    for (;;) {
        get_user_input(line, sizeof line);
        if (console_input_ended() || line[0] == 'q' || line[0] == 'Q')
            return false;
        if (std::sscanf(line, "%d", choice) == 1)
            return true;
        std::printf("Invalid file number %s. Try again pleas\n", line);
    }
}

// Reads the directory again and finds the entry that got the given number in
// the listing. Empty when the directory ends first.
std::string usb_entry_named_by(DIR* dir, int choice)
{
    int number = 1;
    while (const struct dirent* entry = ::readdir(dir)) {
        if (!counts_as_file(dir, entry->d_name))
            continue;
        if (number == choice)
            return entry->d_name;
        ++number;
    }
    return {};
}

// Only a regular file (a symbolic link is followed) is handed to the
// installer: a FIFO or a device node on a crafted stick, or a link to one,
// would block it or make it read the board's own devices.
bool is_regular_file(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Only a file the tool has just written may count as a download.
void remove_stale_download()
{
    ::unlink(DOWNLOAD_FILE);
}

// Asks for the TFTP file name. False when the operator quit.
bool ask_image_filename(char* name, int size)
{
    for (;;) {
        std::printf("Image Filename: ");
        std::fflush(stdout);
        get_user_input(name, size);
        if (console_input_ended())
            return false;
        if (std::strlen(name) >= 2)
            return true;
        if (std::strcmp(name, "q") == 0 || sig_quit_raised)
            return false;
        std::puts("Invalid filename. Try again please");
    }
}

enum class tftp_result { fetched, failed, quit };

// Up to three transfers, until one has left the download file.
tftp_result fetch_by_tftp(const char* name, std::uint32_t server)
{
    struct in_addr in {};
    in.s_addr = server;
    const std::string server_text = inet_ntoa(in);
    for (int attempt = 1; attempt <= TFTP_ATTEMPTS; ++attempt) {
        if (sig_quit_raised)
            return tftp_result::quit;
        std::printf("Installing image %s from TFTP server %s\n", name, server_text.c_str());
        remove_stale_download();
        // The name is one shell word whatever the operator typed.
        run_command(strprintf("tftp -g -r %s -l %s %s\n", shell_quote(name).c_str(), DOWNLOAD_FILE,
                              server_text.c_str()));
        if (path_exists(DOWNLOAD_FILE))
            return tftp_result::fetched;
        std::printf("Attempt %d/3 of tftp timed out\n", attempt);
        ::sleep(TFTP_RETRY_SECONDS);
    }
    return tftp_result::failed;
}

} // namespace

int run_usb_rescue()
{
    int choice = 0;
    {
        const dir_ptr dir(::opendir(USB_DIR));
        if (!dir) {
            std::puts("Unable to open USB directory. Quitting");
            return 0;
        }
        change_dir(USB_DIR);
        list_usb_files(dir.get());
        const bool chosen = ask_usb_file_number(&choice);
        change_dir(AFTER_USB_DIR);
        if (!chosen)
            return 0;
    }
    if (choice <= 0)
        return 0;

    std::string path;
    {
        const dir_ptr dir(::opendir(USB_DIR));
        if (!dir) {
            std::puts("Unable to re-open USB directory. Quitting");
            return 0;
        }
        change_dir(USB_DIR);
        const std::string name = usb_entry_named_by(dir.get(), choice);
        if (!name.empty()) {
            std::printf("Installing %s\n", printable_name(name.c_str()).c_str());
            path = strprintf("%s%c%s", USB_DIR, '/', name.c_str());
        }
        change_dir(AFTER_USB_DIR);
    }
    if (path.empty())
        return 0;
    if (!is_regular_file(path)) {
        std::printf("%s is not a regular file. Quitting\n", printable_name(path.c_str()).c_str());
        return 0;
    }
    return processVireoImage(path.c_str(), 0, 0);
}

int run_tftp_rescue()
{
    char port = '0';
    std::uint8_t use_dhcp = 0;
    std::uint32_t ip = 0;
    std::uint32_t netmask = 0;
    std::uint32_t gateway = 0;
    std::uint32_t server = 0;
    char name[LINE_SIZE];

    std::puts("Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):");
    if (!mgmt_port_params(&port, &use_dhcp, &ip, &netmask, &gateway, 0))
        return 0;
    if (!get_ip_addr("Server addr:", &server, 1, 1))
        return 0;
    if (!ask_image_filename(name, sizeof name))
        return 0;
    if (sig_quit_raised)
        return 0;
    const std::uint32_t ip_copy = ip;
    const std::uint32_t netmask_copy = netmask;
    const std::uint32_t gateway_copy = gateway;
    if (!mgmt_port_configure(use_dhcp, port, &ip_copy, &netmask_copy, &gateway_copy))
        return 0;
    const tftp_result fetched = fetch_by_tftp(name, server);
    if (fetched == tftp_result::quit)
        return 0;
    if (fetched == tftp_result::failed) {
        std::puts("Tftp download failed. Aborting");
        return 0;
    }
    return processVireoImage(DOWNLOAD_FILE, 0, 0);
}

int run_xmodem_rescue()
{
    std::puts("Running xmodem rescue.....");
    const int fd = init_serial();
    // init_serial has said why with perror; without a port there is nothing
    // to receive on and no speed to restore.
    if (fd < 0)
        return 0;
    remove_stale_download();
    run_command(strprintf("/usr/bin/rx %s", DOWNLOAD_FILE));
    const bool received = path_exists(DOWNLOAD_FILE);
    reset_serial(fd);
    ::close(fd);
    if (!received)
        return 0;
    return processVireoImage(DOWNLOAD_FILE, 0, 0);
}

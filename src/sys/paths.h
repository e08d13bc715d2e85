// The board's files and folders that the boot manager reads, writes and
// names on command lines, each defined once.
#pragma once

#include <string>

// The user partition: mounted at /user, holding the image slots and the
// rejected list of USB boot images.
inline constexpr const char* MOUNT_USER_PARTITION = "/bin/mount -o sync -t jffs2 /dev/mtd-user /user";
inline constexpr const char* IMAGES_DIR = "/user/images";
inline constexpr const char* REJECTED_DIR = "/user/images/rejected";

// The file of image slot 1 or 2.
inline std::string slot_path(int slot)
{
    return std::string(IMAGES_DIR) + "/image" + std::to_string(slot);
}

// A downloaded image file, and the recovery image on its way into a slot.
inline constexpr const char* DOWNLOAD_FILE = "/tmp/image";

// The application archive and what it brings: the application, the
// diagnostics executable that takes its place, its install script and
// environment settings.
inline constexpr const char* APP_ARCHIVE = "/tmp/corvoimage.tar.gz";
inline constexpr const char* APP_EXECUTABLE = "/tmp/home/bin/mp.elf.strip";
inline constexpr const char* DIAG_EXECUTABLE = "/tmp/mpdiag.elf.strip";
inline constexpr const char* INSTALL_SCRIPT = "/tmp/home/bin/install.sh";
inline constexpr const char* ENV_SETUP = "/tmp/home/bin/env-setup";

// The debugger fetched from the other image slot, and its archive.
inline constexpr const char* GDB_EXECUTABLE = "/tmp/gdb";
inline constexpr const char* GDB_ARCHIVE = "/tmp/gdb.gz";

// The USB stick, mounted by the system's agent.
inline constexpr const char* USB_DIR = "/mnt/usb";
inline constexpr const char* USB_BOOT_IMAGE = "/mnt/usb/KV4410NX_OS.img";

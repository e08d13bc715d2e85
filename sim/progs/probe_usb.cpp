// Board-side driver of the USB boot's rejected list and stick wait. Mounts
// the user partition as start-up does, then runs the named operations in
// order and prints each result on a line of its own:
//
//   probe_usb md5 PATH        get_md5string
//   probe_usb rejected PATH   usb_is_image_rejected
//   probe_usb add PATH        usb_add_image_to_reject_list
//   probe_usb mount           usb_mount with the USB boot enabled
//   probe_usb which           usb_which_image
//
// Several operations may follow one another: probe_usb add A rejected B
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "boot/start.h"
#include "boot/usb_boot.h"
#include "sys/command.h"

namespace {

bool run_one(const char* op, const char* path)
{
    if (std::strcmp(op, "md5") == 0 && path) {
        char text[33] = "unset";
        const int r = get_md5string(path, text);
        std::printf("md5 %d [%s]\n", r, r ? text : "");
    } else if (std::strcmp(op, "rejected") == 0 && path) {
        std::printf("rejected %d\n", usb_is_image_rejected(path));
    } else if (std::strcmp(op, "add") == 0 && path) {
        usb_add_image_to_reject_list(path);
        std::printf("added\n");
    } else {
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    bring_up_board();
    // Work in the board folder: a file that a badly quoted command made
    // would show there on the host.
    if (::chdir("/.boardsim") != 0)
        return 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "mount") == 0) {
            usb_boot_enabled = 1;
            std::printf("usb_mount %d\n", usb_mount());
        } else if (std::strcmp(argv[i], "which") == 0) {
            std::printf("usb_which_image %d\n", usb_which_image());
        } else if (i + 1 < argc && run_one(argv[i], argv[i + 1])) {
            ++i;
        } else {
            std::fprintf(stderr, "probe_usb: bad operation %s\n", argv[i]);
            return 2;
        }
        std::fflush(stdout);
    }
    return 0;
}

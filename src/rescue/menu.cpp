// The rescue menu: single-key choice of a download, the version list, the
// MAC address, the diagnostics boot, reboot or exit.
#include "rescue/rescue.h"

#include "boot/extract.h"
#include "boot/start.h"
#include "image/image.h"
#include "net/mgmt.h"
#include "sys/command.h"
#include "sys/paths.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <unistd.h>

namespace {

void print_menu()
{
    puts("Please select one of the following options:");
    printf("\t%c) Configure networking and tftp download an image\n", 'T');
    printf("\t%c) Use xmodem 1K to serial download an image\n", 'X');
    printf("\t%c) Reboot\n", 'R');
    printf("\t%c) Exit\n", 'E');
}

bool is_menu_option(int key)
{
    switch (key) {
    case 'T':
    case 'X':
    case 'U':
    case 'V':
    case 'R':
    case 'M':
    case 'D':
    case 'E':
        return true;
    default:
        return false;
    }
}

// Reads keys until one names an entry. Gives 0 when the console's input has
// ended, so the caller can leave instead of prompting for ever.
int read_option()
{
    for (;;) {
        printf("\nOption? : ");
        fflush(stdout);
        int key = uartGetC();
        if (key == 0 && console_input_ended()) {
            putchar('\n');
            return 0;
        }
        printf("%c\n", key);
        if (sig_quit_raised) {
            sig_quit_raised = 0;
            continue;
        }
        if (key == 0)
            continue;
        int option = toupper(key);
        if (is_menu_option(option))
            return option;
        printf("unknown option \"%c\". Please try again\n", option);
    }
}

void run_option(int option)
{
    switch (option) {
    case 'T':
        run_tftp_rescue();
        break;
    case 'X':
        run_xmodem_rescue();
        break;
    case 'U':
        run_usb_rescue();
        break;
    case 'V':
        run_image_display();
        break;
    case 'M':
        run_mac_config();
        break;
    case 'D':
        run_standalone_diags();
        break;
    case 'R':
        sleep(1);
        board_reset();
    default:
        break;
    }
}

// One row of the version list: the id word (bytes 12..15 of the stored
// header, most significant first) as four unsigned numbers.
void print_version(const char* label, std::uint32_t type, int slot)
{
    std::uint8_t header[IMAGE_HEADER_SIZE];
    read_flash_image_header(type, header, slot);
    printf("\t%s: %d.%d.%d.%d\n", label, header[12], header[13], header[14], header[15]);
}

void erase_user_filesystem()
{
    puts("unmount filesystem");
    run_command("/bin/umount /user &> /dev/null");
    puts("\nErasing filesystem for clean install");
    run_command("flash_eraseall /dev/mtd-user-char");
    puts("Mounting...");
    run_command(strprintf("%s &> /dev/null", MOUNT_USER_PARTITION));
    puts("creating default filesystem");
    run_command(strprintf("mkdir %s &> /dev/null", IMAGES_DIR));
}

} // namespace

int run_rescue_mode()
{
    puts("Entering Rescue Mode.");
    for (;;) {
        print_menu();
        int option = read_option();
        if (option == 0) {
            puts("Console input has ended: leaving rescue mode.");
            return 1;
        }
        if (option == 'E')
            return 1;
        run_option(option);
        if (sig_quit_raised)
            sig_quit_raised = 0;
    }
}

int run_image_display()
{
    puts("Installed images versions: ");
    print_version("Boot image  ", TYPE_BOOTLOADER, 0);
    print_version("RFS image   ", TYPE_ROOTFS, 0);
    print_version("Kernel image", TYPE_KERNEL, 0);
    print_version("DFT image   ", TYPE_DEVICETREE, 0);
    print_version("OS image 1  ", TYPE_APPLICATION, 1);
    print_version("OS image 2  ", TYPE_APPLICATION, 2);
    return 0;
}

int run_standalone_diags()
{
    printf("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ");
    fflush(stdout);
    int key = uartGetC();
    putchar('\n');
    if (key != 0 && toupper(key) == 'Y')
        erase_user_filesystem();
    puts("Booting diags image...");
    extract_image_from_flash();
    return 1;
}

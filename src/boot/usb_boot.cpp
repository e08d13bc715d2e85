// Temporary bodies: replaced by the module's real implementation.
#include "boot/usb_boot.h"

int usb_mount() { return -1; }
void usb_update_boot() {}
int usb_which_image() { return 0; }
int get_md5string(const char*, char*) { return 0; }
int usb_is_image_rejected(const char*) { return 0; }
void usb_add_image_to_reject_list(const char*) {}
int yesno_question(const char*) { return 0; }

// USB boot: waiting for the stick, boot-loader update and slot replacement
// from it, and the rejected list of USB boot images.
#pragma once

int usb_mount();
void usb_update_boot();
int usb_which_image();
// text: at least 33 bytes.
int get_md5string(const char* path, char* text);
int usb_is_image_rejected(const char* path);
void usb_add_image_to_reject_list(const char* path);
int yesno_question(const char* question);

// Rescue mode: console input, the rescue menu and its actions, and the
// three download paths (USB, TFTP, Xmodem).
#pragma once

int uartGetC();
int uartPutC(int c);
char* get_user_input(char* buffer, int size);

int run_rescue_mode();
int run_image_display();
int run_standalone_diags();

int run_usb_rescue();
int run_tftp_rescue();
int run_xmodem_rescue();

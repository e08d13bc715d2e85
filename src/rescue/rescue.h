// Rescue mode: console input, the rescue menu and its actions, and the
// three download paths (USB, TFTP, Xmodem).
#pragma once

int uartGetC();
int uartPutC(int c);
char* get_user_input(char* buffer, int size);
// True when the last uartGetC found the console's input at its end (end of
// file, or a read error other than an interrupting signal): callers that
// loop on keys stop instead of spinning, and a line question whose line
// ended so ends as its quit answer does, whatever the line holds.
bool console_input_ended();

int run_rescue_mode();
int run_image_display();
int run_standalone_diags();

int run_usb_rescue();
int run_tftp_rescue();
int run_xmodem_rescue();

// Temporary bodies: replaced by the module's real implementation.
#include "rescue/rescue.h"

int run_usb_rescue() { return 0; }
int run_tftp_rescue() { return 0; }
int run_xmodem_rescue() { return 0; }

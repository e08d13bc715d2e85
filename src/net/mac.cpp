// Temporary bodies: replaced by the module's real implementation.
#include "net/mgmt.h"

int run_mac_config() { return 0; }

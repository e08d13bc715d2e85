// Temporary bodies: replaced by the module's real implementation.
#include "net/mgmt.h"

int mgmt_port_setup(std::uint8_t) { return 0; }
int mgmt_port_params(char*, std::uint8_t*, std::uint32_t*, std::uint32_t*, std::uint32_t*, std::uint8_t) { return 0; }
int get_ip_addr(const char*, std::uint32_t*, std::uint8_t, std::uint8_t) { return 0; }
int verify_ip_address(std::uint32_t) { return 0; }
int mgmt_port_configure(std::uint8_t, char, const std::uint32_t*, const std::uint32_t*, const std::uint32_t*) { return 0; }
int mgmt_link_status(char) { return 0; }

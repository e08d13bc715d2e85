// The management Ethernet port: address dialogue, configuration commands,
// link test, and the MAC address dialogue.
#pragma once

#include <cstdint>

int mgmt_port_setup(std::uint8_t offer_dhcp);
int mgmt_port_params(char* port, std::uint8_t* use_dhcp, std::uint32_t* ip, std::uint32_t* netmask,
                     std::uint32_t* gateway, std::uint8_t offer_dhcp);
int get_ip_addr(const char* prompt, std::uint32_t* addr, std::uint8_t required, std::uint8_t check_address);
int verify_ip_address(std::uint32_t addr);
int mgmt_port_configure(std::uint8_t use_dhcp, char port, const std::uint32_t* ip,
                        const std::uint32_t* netmask, const std::uint32_t* gateway);
int mgmt_link_status(char port);

int run_mac_config();

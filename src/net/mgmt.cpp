// The management Ethernet port eth0: the console dialogue that chooses DHCP
// or a static address, the command lines that apply the choice, the fixed
// waits while the interface settles, and the link test.
#include "net/mgmt.h"

#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "boot/start.h"
#include "rescue/rescue.h"
#include "sys/command.h"
#include "sys/files.h"

namespace {

constexpr int LINE_SIZE = 128;
constexpr const char* DHCP_CLIENT = "/bin/dhclient";
// The link test always looks at this interface, whatever port it is given.
constexpr const char* MGMT_IFNAME = "eth0";
constexpr unsigned STATIC_SETTLE_SECONDS = 5;
constexpr int STATIC_PROGRESS_DOTS = 20;
constexpr unsigned DHCP_SETTLE_SECONDS = 3;

// Dotted form of a network-order address.
const char* dotted(std::uint32_t addr)
{
    struct in_addr in {};
    in.s_addr = addr;
    return inet_ntoa(in);
}

void prompt(const char* text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void configure_dhcp(char port)
{
    run_command(strprintf("dhclient -1 eth%c", port));
    ::sleep(DHCP_SETTLE_SECONDS);
}

void configure_static(char port, std::uint32_t ip, std::uint32_t netmask, std::uint32_t gateway)
{
    run_command(strprintf("ifconfig eth%c %s\n", port, dotted(ip)));
    if (netmask != 0) {
        std::printf("\tNetmask    : %s\n", dotted(netmask));
        run_command(strprintf("ifconfig eth%c down\n", port));
        run_command(strprintf("ifconfig eth%c netmask %s\n", port, dotted(netmask)));
        run_command(strprintf("ifconfig eth%c up\n", port));
    }
    ::sleep(STATIC_SETTLE_SECONDS);
    if (gateway != 0) {
        std::printf("\tGateway    : %s\n", dotted(gateway));
        run_command(strprintf("route add default gw %s\n", dotted(gateway)));
    }
    prompt("Configuring management port...");
    for (int i = 0; i < STATIC_PROGRESS_DOTS; ++i) {
        ::sleep(1);
        prompt(".");
    }
    prompt("\n");
    ::sleep(1);
}

} // namespace

int mgmt_port_setup(std::uint8_t offer_dhcp)
{
    char port = '0';
    std::uint8_t use_dhcp = 0;
    std::uint32_t ip = 0;
    std::uint32_t netmask = 0;
    std::uint32_t gateway = 0;
    if (!mgmt_port_params(&port, &use_dhcp, &ip, &netmask, &gateway, offer_dhcp))
        return 0;
    return mgmt_port_configure(use_dhcp, port, &ip, &netmask, &gateway);
}

int mgmt_port_params(char* /*port*/, std::uint8_t* use_dhcp, std::uint32_t* ip, std::uint32_t* netmask,
                     std::uint32_t* gateway, std::uint8_t offer_dhcp)
{
    *use_dhcp = 0;
    if (offer_dhcp && path_exists(DHCP_CLIENT)) {
        char line[LINE_SIZE];
        prompt("Confirm: Use DHCP for network configuration? y/N: ");
        get_user_input(line, sizeof line);
        if (console_input_ended() || sig_quit_raised)
            return 0;
        if (std::toupper(static_cast<unsigned char>(line[0])) == 'Y')
            *use_dhcp = 1;
        std::printf("\n");
    }
    if (*use_dhcp)
        return 1;
    if (!get_ip_addr("IP addr    :", ip, 1, 1))
        return 0;
    if (!get_ip_addr("Netmask    :", netmask, 0, 0))
        return 0;
    if (!get_ip_addr("Gateway    :", gateway, 0, 1))
        return 0;
    return 1;
}

int get_ip_addr(const char* prompt_text, std::uint32_t* addr, std::uint8_t required,
                std::uint8_t check_address)
{
    char line[LINE_SIZE];
    for (;;) {
        prompt(prompt_text);
        get_user_input(line, sizeof line);
        if (console_input_ended() || sig_quit_raised)
            return 0;
        if (line[0] == 'q' || line[0] == 'Q')
            return 0;
        if (line[0] == '\0' && !required)
            return 1;
        struct in_addr parsed {};
        if (inet_aton(line, &parsed) == 0) {
            std::puts("Invalid IP address. Try again please");
            continue;
        }
        // Only an accepted answer is stored: a refused one must not linger
        // for a later empty answer to the optional gateway to configure.
        if (!check_address || verify_ip_address(parsed.s_addr)) {
            *addr = parsed.s_addr;
            return 1;
        }
        std::printf("Invalid IP address %s. Try again please\n", line);
    }
}

int verify_ip_address(std::uint32_t addr)
{
    const std::uint32_t first_octet = ntohl(addr) >> 24;
    return addr != 0 && first_octet >= 1 && first_octet <= 239;
}

int mgmt_port_configure(std::uint8_t use_dhcp, char port, const std::uint32_t* ip,
                        const std::uint32_t* netmask, const std::uint32_t* gateway)
{
    if (use_dhcp)
        configure_dhcp(port);
    else
        configure_static(port, *ip, *netmask, *gateway);
    if (port == '0' && !mgmt_link_status(port)) {
        std::puts("Mgmt link not available. Quitting.");
        return 0;
    }
    return 1;
}

int mgmt_link_status(char /*port*/)
{
    // The socket that carries the interface requests.
    const unique_fd sock(::socket(AF_INET, SOCK_DGRAM, 0));
    if (!sock) {
        std::puts("Raw Socket open error");
        return 0;
    }
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, MGMT_IFNAME, IFNAMSIZ - 1);
    if (::ioctl(sock.get(), SIOCGIFINDEX, &ifr) < 0) {
        std::printf("Open Interface %s error.\n", MGMT_IFNAME);
        return 0;
    }
    if (::ioctl(sock.get(), SIOCGIFFLAGS, &ifr) < 0) {
        std::puts("Open flags error.");
        return 0;
    }
    const unsigned flags = static_cast<unsigned short>(ifr.ifr_flags);
    struct ethtool_value link {};
    link.cmd = ETHTOOL_GLINK;
    ifr.ifr_data = reinterpret_cast<char*>(&link);
    if (::ioctl(sock.get(), SIOCETHTOOL, &ifr) < 0) {
        std::puts("EthTool GLINK error.");
        return 0;
    }
    const unsigned up_and_running = IFF_UP | IFF_RUNNING;
    return link.data != 0 && (flags & up_and_running) == up_and_running;
}

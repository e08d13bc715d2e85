// Board-side check of the management port: calls the dialogue, the
// configuration and the link test directly and prints their results.
//
//   probe_mgmt verify TEXT...                 address test of inet_aton forms
//   probe_mgmt addr PROMPT REQUIRED CHECK     one get_ip_addr question
//   probe_mgmt params OFFER                   mgmt_port_params
//   probe_mgmt setup OFFER                    mgmt_port_setup
//   probe_mgmt link [nosocket|noflags]        mgmt_link_status, optionally
//                                             with its socket or its flags
//                                             request made to fail
//
// Before the mode, "--path DIR" puts DIR first on PATH, so the tests can
// place recording wrappers in front of the tools the commands run.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "boot/launch.h"
#include "net/mgmt.h"

namespace {

bool fail_flags_request = false;

const char* dotted(std::uint32_t addr)
{
    struct in_addr in {};
    in.s_addr = addr;
    return inet_ntoa(in);
}

int run_verify(int count, char** texts)
{
    for (int i = 0; i < count; ++i) {
        struct in_addr in {};
        if (inet_aton(texts[i], &in) == 0) {
            std::printf("%s unparsable\n", texts[i]);
            continue;
        }
        std::printf("%s %s %s\n", texts[i], dotted(in.s_addr),
                    verify_ip_address(in.s_addr) ? "accepted" : "refused");
    }
    return 0;
}

int run_addr(const char* prompt, int required, int check)
{
    std::uint32_t value = 0;
    const int result = get_ip_addr(prompt, &value, static_cast<std::uint8_t>(required),
                                   static_cast<std::uint8_t>(check));
    std::printf("get_ip_addr=%d value=%s\n", result, dotted(value));
    return 0;
}

int run_params(int offer)
{
    char port = '0';
    std::uint8_t use_dhcp = 7; // the dialogue must set it
    std::uint32_t ip = 0;
    std::uint32_t netmask = 0;
    std::uint32_t gateway = 0;
    const int result = mgmt_port_params(&port, &use_dhcp, &ip, &netmask, &gateway,
                                        static_cast<std::uint8_t>(offer));
    std::printf("mgmt_port_params=%d use_dhcp=%d port=%c", result, use_dhcp, port);
    std::printf(" ip=%s", dotted(ip));
    std::printf(" netmask=%s", dotted(netmask));
    std::printf(" gateway=%s\n", dotted(gateway));
    return 0;
}

int run_link(const char* fault)
{
    if (std::strcmp(fault, "nosocket") == 0) {
        // Standard input, output and error use every descriptor allowed.
        const struct rlimit limit {3, 3};
        setrlimit(RLIMIT_NOFILE, &limit);
    } else if (std::strcmp(fault, "noflags") == 0) {
        fail_flags_request = true;
    }
    std::printf("mgmt_link_status=%d\n", mgmt_link_status('0'));
    return 0;
}

} // namespace

// Stands in front of the C library's ioctl (and the board layer's) only to
// make the interface-flags request fail, which no real interface that has
// an index does.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (fail_flags_request && request == SIOCGIFFLAGS) {
        errno = EIO;
        return -1;
    }
    using ioctl_fn = int (*)(int, unsigned long, ...);
    static const auto next = reinterpret_cast<ioctl_fn>(dlsym(RTLD_NEXT, "ioctl"));
    return next(fd, request, arg);
}

int main(int argc, char** argv)
{
    sig_init();
    int first = 1;
    if (argc > 3 && std::strcmp(argv[1], "--path") == 0) {
        const char* old = std::getenv("PATH");
        const std::string path = std::string(argv[2]) + ":" + (old ? old : "/bin:/usr/bin");
        setenv("PATH", path.c_str(), 1);
        first = 3;
    }
    const int left = argc - first;
    char** args = argv + first;
    const char* mode = left > 0 ? args[0] : "";
    if (std::strcmp(mode, "verify") == 0)
        return run_verify(left - 1, args + 1);
    if (std::strcmp(mode, "addr") == 0 && left == 4)
        return run_addr(args[1], std::atoi(args[2]), std::atoi(args[3]));
    if (std::strcmp(mode, "params") == 0 && left == 2)
        return run_params(std::atoi(args[1]));
    if (std::strcmp(mode, "setup") == 0 && left == 2) {
        std::printf("mgmt_port_setup=%d\n", mgmt_port_setup(static_cast<std::uint8_t>(std::atoi(args[1]))));
        return 0;
    }
    if (std::strcmp(mode, "link") == 0)
        return run_link(left > 1 ? args[1] : "");
    std::fprintf(stderr, "usage: probe_mgmt [--path DIR] verify|addr|params|setup|link ...\n");
    return 2;
}

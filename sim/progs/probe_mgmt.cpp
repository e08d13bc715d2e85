// Board-side check of the management port: calls the dialogue, the
// configuration and the link test directly and prints their results.
//
//   probe_mgmt verify TEXT...                 address test of inet_aton forms
//   probe_mgmt addr PROMPT REQUIRED CHECK     one get_ip_addr question
//   probe_mgmt params OFFER                   mgmt_port_params
//   probe_mgmt setup OFFER                    mgmt_port_setup
//   probe_mgmt link [nosocket|noflags|noglink] mgmt_link_status, optionally
//                                             with its socket, its flags
//                                             request or its ethtool link
//                                             request made to fail
//
// Before the mode, "--record FILE" appends every command line the program
// hands to the shell to FILE as "cmd LINE" (a newline shown as \n), so that
// with the board's device trace as FILE the lines stand in order between
// the program's own sleeps. (The board's shell runs its tools as built-in
// applets, so wrappers on PATH would not see them.)
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

#include "boot/start.h"
#include "net/mgmt.h"

namespace {

const char* record_file = nullptr;
bool fail_flags_request = false;
bool fail_link_request = false;

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
    const int result =
        get_ip_addr(prompt, &value, static_cast<std::uint8_t>(required), static_cast<std::uint8_t>(check));
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
    const int result =
        mgmt_port_params(&port, &use_dhcp, &ip, &netmask, &gateway, static_cast<std::uint8_t>(offer));
    std::printf("mgmt_port_params=%d use_dhcp=%d port=%c", result, use_dhcp, port);
    std::printf(" ip=%s", dotted(ip));
    std::printf(" netmask=%s", dotted(netmask));
    std::printf(" gateway=%s\n", dotted(gateway));
    return 0;
}

int run_link(const char* fault)
{
    struct rlimit saved {};
    getrlimit(RLIMIT_NOFILE, &saved);
    if (std::strcmp(fault, "nosocket") == 0) {
        // Standard input, output and error use every descriptor allowed.
        const struct rlimit limit {
            3, saved.rlim_max
        };
        setrlimit(RLIMIT_NOFILE, &limit);
    } else if (std::strcmp(fault, "noflags") == 0) {
        fail_flags_request = true;
    } else if (std::strcmp(fault, "noglink") == 0) {
        fail_link_request = true;
    }
    const int status = mgmt_link_status('0');
    // The exit (and a memory checker's report at exit) needs descriptors again.
    setrlimit(RLIMIT_NOFILE, &saved);
    std::printf("mgmt_link_status=%d\n", status);
    return 0;
}

} // namespace

// Stands in front of the C library's ioctl (and the board layer's) only to
// make the interface-flags request fail, which no real interface that has
// an index does, or the ethtool link request, which the board layer under
// qemu answers for every interface.
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
    if (fail_link_request && request == SIOCETHTOOL) {
        errno = EOPNOTSUPP;
        return -1;
    }
    using ioctl_fn = int (*)(int, unsigned long, ...);
    static const auto next = reinterpret_cast<ioctl_fn>(dlsym(RTLD_NEXT, "ioctl"));
    return next(fd, request, arg);
}

static void record_command(const char* line)
{
    std::string text = "cmd ";
    for (const char* p = line; *p; ++p)
        text += *p == '\n' ? std::string("\\n") : std::string(1, *p);
    text += '\n';
    if (FILE* f = std::fopen(record_file, "a")) {
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
}

// Notes each command line before the C library's system() runs it.
extern "C" int system(const char* line)
{
    if (record_file != nullptr && line != nullptr)
        record_command(line);
    using system_fn = int (*)(const char*);
    static const auto next = reinterpret_cast<system_fn>(dlsym(RTLD_NEXT, "system"));
    return next(line);
}

int main(int argc, char** argv)
{
    sig_init();
    int first = 1;
    if (argc > 3 && std::strcmp(argv[1], "--record") == 0) {
        record_file = argv[2];
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
    std::fprintf(stderr, "usage: probe_mgmt [--record FILE] verify|addr|params|setup|link ...\n");
    return 2;
}

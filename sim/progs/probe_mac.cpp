// Board-side driver of the MAC address dialogue: works in an empty folder,
// runs run_mac_config once, and reports the result, any file that appeared
// in the folder, and eth0's hardware address before and afterwards. What
// ifconfig itself was given shows in its own messages on the console.
#include <dirent.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "boot/start.h"
#include "net/mgmt.h"
#include "sys/command.h"

namespace {

constexpr const char* WORK_DIR = "/tmp/probe_mac";

void report_work_files()
{
    DIR* d = ::opendir(WORK_DIR);
    int n = 0;
    while (d) {
        const dirent* e = ::readdir(d);
        if (!e)
            break;
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            std::printf("new file [%s]\n", e->d_name);
            ++n;
        }
    }
    if (d)
        ::closedir(d);
    std::printf("new files %d\n", n);
}

void report_hwaddr()
{
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq req {};
    std::strncpy(req.ifr_name, "eth0", IFNAMSIZ - 1);
    if (s < 0 || ::ioctl(s, SIOCGIFHWADDR, &req) != 0) {
        std::printf("eth0 hwaddr none\n");
    } else {
        const auto* a = reinterpret_cast<const unsigned char*>(req.ifr_hwaddr.sa_data);
        std::printf("eth0 hwaddr %02x:%02x:%02x:%02x:%02x:%02x\n", a[0], a[1], a[2], a[3], a[4], a[5]);
    }
    if (s >= 0)
        ::close(s);
}

} // namespace

int main()
{
    sig_init();
    run_command(strprintf("mkdir -p %s", WORK_DIR));
    if (::chdir(WORK_DIR) != 0) {
        std::printf("probe set-up failed\n");
        return 1;
    }
    std::printf("before: ");
    report_hwaddr();
    const int r = run_mac_config();
    std::printf("\nrun_mac_config result %d\n", r);
    report_work_files();
    report_hwaddr();
    std::fflush(stdout);
    return 0;
}

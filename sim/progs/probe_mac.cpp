// Board-side driver of the MAC address dialogue. Puts a recording ifconfig
// first on PATH (it notes its arguments, one a line, then runs busybox's
// real one), works in an empty folder, runs run_mac_config once, and
// reports the result, the arguments ifconfig got, any file that appeared in
// the folder, and eth0's hardware address afterwards.
#include <dirent.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "boot/launch.h"
#include "net/mgmt.h"
#include "sys/command.h"

namespace {

constexpr const char* PROBE_DIR = "/tmp/probe_mac";
constexpr const char* ARGS_FILE = "/tmp/probe_mac/ifconfig.args";
constexpr const char* WORK_DIR = "/tmp/probe_mac/work";

bool install_recording_ifconfig()
{
    run_command(strprintf("mkdir -p %s/bin %s", PROBE_DIR, WORK_DIR));
    const std::string script = strprintf("%s/bin/ifconfig", PROBE_DIR);
    std::FILE* f = std::fopen(script.c_str(), "w");
    if (!f)
        return false;
    std::fprintf(f, "#!/bin/sh\nprintf '%%s\\n' \"$@\" > %s\nexec /bin/busybox ifconfig \"$@\"\n", ARGS_FILE);
    std::fclose(f);
    run_command(strprintf("chmod 755 %s", script.c_str()));
    const char* old_path = std::getenv("PATH");
    const std::string path = strprintf("%s/bin:%s", PROBE_DIR, old_path ? old_path : "/bin:/usr/bin");
    return ::setenv("PATH", path.c_str(), 1) == 0 && ::chdir(WORK_DIR) == 0;
}

void report_ifconfig_args()
{
    std::FILE* f = std::fopen(ARGS_FILE, "r");
    if (!f) {
        std::printf("ifconfig not run\n");
        return;
    }
    char line[256];
    int n = 0;
    while (std::fgets(line, sizeof line, f)) {
        line[std::strcspn(line, "\n")] = '\0';
        std::printf("arg%d=[%s]\n", n++, line);
    }
    std::fclose(f);
    std::printf("ifconfig args %d\n", n);
}

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
    if (!install_recording_ifconfig()) {
        std::printf("probe set-up failed\n");
        return 1;
    }
    const int r = run_mac_config();
    std::printf("\nrun_mac_config result %d\n", r);
    report_ifconfig_args();
    report_work_files();
    report_hwaddr();
    std::fflush(stdout);
    return 0;
}

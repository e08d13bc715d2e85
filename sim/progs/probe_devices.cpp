// Raw device access on the simulated board, for the simulator's own tests.
//
//   probe_devices STEP [ARGS...] [-- STEP [ARGS...]]...
//
// Each step does plain open/ioctl/pread/pwrite/read/write calls, as a driver
// user would, and prints one line "probe STEP RESULT" on standard output:
// a number, or "-1 ERRNO-NAME" when the call failed. Steps:
//
//   info PART                      MEMGETINFO: type, size, erasesize, writesize
//   erase PART START LEN           MEMERASE
//   erase-ro PART START LEN        MEMERASE on a read-only descriptor
//   write PART OFF HEX             pwrite of the bytes
//   fill PART OFF LEN BYTE         pwrite of LEN copies of BYTE
//   read PART OFF LEN              pread; prints the bytes in hex
//   seq-write PART OFF HEX         lseek + write
//   seq-read PART OFF LEN          lseek + read
//   open PATH                      open read-write; prints the errno on failure
//   slave BUS ADDR                 I2C_SLAVE
//   i2c-write BUS HEX              write
//   i2c-read BUS LEN               read; prints the bytes in hex
//   sleep S | usleep US | nanosleep US | poll MS | select US
//                                  waits; prints the real time it took (ms)
//   link IFNAME                    SIOCETHTOOL / ETHTOOL_GLINK
//   shell CMD                      system(CMD), prints its exit status
//   exec PATH                      replaces the probe (execl PATH PATH)
//   env NAME                       the probe's own environment variable
//   sigint MS                      waits up to MS for SIGINT
//   say TEXT                       prints TEXT (to /dev/ttyS0 with say-tty)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <errno.h>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/i2c-dev.h>
#include <linux/sockios.h>
#include <map>
#include <mtd/mtd-user.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using args_t = std::vector<std::string>;

std::map<std::string, int> open_parts;
std::map<int, int> open_buses;
volatile sig_atomic_t got_sigint = 0;

void result(const std::string& step, const std::string& text)
{
    std::printf("probe %s %s\n", step.c_str(), text.c_str());
    std::fflush(stdout);
}

std::string failure()
{
    int err = errno;
    const char* name = err == EIO      ? "EIO"
                       : err == EINVAL ? "EINVAL"
                       : err == ENXIO  ? "ENXIO"
                       : err == ENOENT ? "ENOENT"
                       : err == EPERM  ? "EPERM"
                       : err == ENOSPC ? "ENOSPC"
                       : err == ENODEV ? "ENODEV"
                       : err == ENOTTY ? "ENOTTY"
                       : err == EBADF  ? "EBADF"
                                       : "E?";
    return std::string("-1 ") + name;
}

unsigned long number(const std::string& text)
{
    return std::strtoul(text.c_str(), nullptr, 0);
}

std::vector<std::uint8_t> unhex(const std::string& text)
{
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

std::string hex(const std::uint8_t* data, std::size_t n)
{
    std::string out;
    char two[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", data[i]);
        out += two;
    }
    return out;
}

int part_fd(const std::string& name)
{
    auto it = open_parts.find(name);
    if (it != open_parts.end())
        return it->second;
    int fd = ::open(("/dev/mtd-" + name).c_str(), O_RDWR | O_SYNC);
    open_parts[name] = fd;
    return fd;
}

int bus_fd(int bus)
{
    auto it = open_buses.find(bus);
    if (it != open_buses.end())
        return it->second;
    int fd = ::open(("/dev/i2c-" + std::to_string(bus)).c_str(), O_RDWR);
    open_buses[bus] = fd;
    return fd;
}

double now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

std::string took(double start)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", now_ms() - start);
    return text;
}

std::string count_or_failure(long n)
{
    return n < 0 ? failure() : std::to_string(n);
}

std::string step_info(const args_t& a)
{
    mtd_info_user info;
    std::memset(&info, 0, sizeof info);
    if (ioctl(part_fd(a[1]), MEMGETINFO, &info) < 0)
        return failure();
    char text[128];
    std::snprintf(text, sizeof text, "type=%u size=%u erasesize=%u writesize=%u", info.type, info.size,
                  info.erasesize, info.writesize);
    return text;
}

std::string erase_with(int fd, const args_t& a)
{
    erase_info_user req;
    req.start = static_cast<std::uint32_t>(number(a[2]));
    req.length = static_cast<std::uint32_t>(number(a[3]));
    return ioctl(fd, MEMERASE, &req) < 0 ? failure() : "0";
}

std::string step_erase_ro(const args_t& a)
{
    int fd = ::open(("/dev/mtd-" + a[1]).c_str(), O_RDONLY);
    std::string text = erase_with(fd, a);
    ::close(fd);
    return text;
}

std::string step_write(const args_t& a)
{
    std::vector<std::uint8_t> data = unhex(a[3]);
    return count_or_failure(
        pwrite(part_fd(a[1]), data.data(), data.size(), static_cast<off_t>(number(a[2]))));
}

std::string step_fill(const args_t& a)
{
    std::vector<std::uint8_t> data(number(a[3]), static_cast<std::uint8_t>(number(a[4])));
    return count_or_failure(
        pwrite(part_fd(a[1]), data.data(), data.size(), static_cast<off_t>(number(a[2]))));
}

std::string step_read(const args_t& a)
{
    std::vector<std::uint8_t> data(number(a[3]));
    ssize_t n = pread(part_fd(a[1]), data.data(), data.size(), static_cast<off_t>(number(a[2])));
    return n < 0 ? failure() : std::to_string(n) + " " + hex(data.data(), static_cast<size_t>(n));
}

std::string step_seq_write(const args_t& a)
{
    int fd = part_fd(a[1]);
    std::vector<std::uint8_t> data = unhex(a[3]);
    lseek(fd, static_cast<off_t>(number(a[2])), SEEK_SET);
    ssize_t n = ::write(fd, data.data(), data.size());
    return n < 0 ? failure() : std::to_string(n) + " pos=" + std::to_string(lseek(fd, 0, SEEK_CUR));
}

std::string step_seq_read(const args_t& a)
{
    int fd = part_fd(a[1]);
    std::vector<std::uint8_t> data(number(a[3]));
    lseek(fd, static_cast<off_t>(number(a[2])), SEEK_SET);
    ssize_t n = ::read(fd, data.data(), data.size());
    return n < 0 ? failure() : std::to_string(n) + " " + hex(data.data(), static_cast<size_t>(n));
}

std::string step_open(const args_t& a)
{
    int fd = ::open(a[1].c_str(), O_RDWR);
    if (fd < 0)
        return failure();
    ::close(fd);
    return "0";
}

std::string step_slave(const args_t& a)
{
    return ioctl(bus_fd(static_cast<int>(number(a[1]))), I2C_SLAVE, number(a[2])) < 0 ? failure() : "0";
}

std::string step_i2c_write(const args_t& a)
{
    std::vector<std::uint8_t> data = unhex(a[2]);
    return count_or_failure(::write(bus_fd(static_cast<int>(number(a[1]))), data.data(), data.size()));
}

std::string step_i2c_read(const args_t& a)
{
    std::vector<std::uint8_t> data(number(a[2]));
    ssize_t n = ::read(bus_fd(static_cast<int>(number(a[1]))), data.data(), data.size());
    return n < 0 ? failure() : std::to_string(n) + " " + hex(data.data(), static_cast<size_t>(n));
}

std::string step_wait(const args_t& a)
{
    double start = now_ms();
    unsigned long value = number(a[1]);
    if (a[0] == "sleep") {
        ::sleep(static_cast<unsigned>(value));
    } else if (a[0] == "usleep") {
        ::usleep(static_cast<useconds_t>(value));
    } else if (a[0] == "nanosleep") {
        timespec ts{static_cast<time_t>(value / 1000000), static_cast<long>(value % 1000000) * 1000};
        ::nanosleep(&ts, nullptr);
    } else if (a[0] == "poll") {
        int fds[2];
        if (pipe(fds) != 0)
            return failure();
        pollfd p{fds[0], POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(value));
        ::close(fds[0]);
        ::close(fds[1]);
    } else {
        timeval tv{static_cast<time_t>(value / 1000000), static_cast<suseconds_t>(value % 1000000)};
        ::select(0, nullptr, nullptr, nullptr, &tv);
    }
    return took(start);
}

std::string step_link(const args_t& a)
{
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", a[1].c_str());
    ethtool_value value{ETHTOOL_GLINK, 0};
    ifr.ifr_data = reinterpret_cast<char*>(&value);
    int r = ioctl(sock, SIOCETHTOOL, &ifr);
    std::string text = r < 0 ? failure() : std::to_string(value.data);
    ::close(sock);
    return text;
}

void on_sigint(int)
{
    got_sigint = 1;
}

std::string step_sigint(const args_t& a)
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_sigint;
    sigaction(SIGINT, &sa, nullptr);
    result("sigint", "ready");
    double end = now_ms() + static_cast<double>(number(a[1]));
    while (!got_sigint && now_ms() < end) {
        timespec ts{0, 10L * 1000 * 1000};
        ::nanosleep(&ts, nullptr);
    }
    return got_sigint ? "caught" : "none";
}

std::string step_say_tty(const args_t& a)
{
    int fd = ::open("/dev/ttyS0", O_WRONLY | O_NOCTTY);
    if (fd < 0)
        return failure();
    std::string line = a[1] + "\n";
    ssize_t n = ::write(fd, line.data(), line.size());
    ::close(fd);
    return count_or_failure(n);
}

struct step_kind {
    const char* name;
    std::size_t args;
    std::string (*run)(const args_t&);
};

const step_kind steps[] = {
    {"info", 1, step_info},
    {"erase", 3, [](const args_t& a) { return erase_with(part_fd(a[1]), a); }},
    {"erase-ro", 3, step_erase_ro},
    {"write", 3, step_write},
    {"fill", 4, step_fill},
    {"read", 3, step_read},
    {"seq-write", 3, step_seq_write},
    {"seq-read", 3, step_seq_read},
    {"open", 1, step_open},
    {"slave", 2, step_slave},
    {"i2c-write", 2, step_i2c_write},
    {"i2c-read", 2, step_i2c_read},
    {"sleep", 1, step_wait},
    {"usleep", 1, step_wait},
    {"nanosleep", 1, step_wait},
    {"poll", 1, step_wait},
    {"select", 1, step_wait},
    {"link", 1, step_link},
    {"shell", 1,
     [](const args_t& a) {
         std::fflush(stdout);
         int status = std::system(a[1].c_str());
         return std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
     }},
    {"exec", 1,
     [](const args_t& a) {
         std::fflush(stdout);
         execl(a[1].c_str(), a[1].c_str(), static_cast<char*>(nullptr));
         return failure();
     }},
    {"env", 1,
     [](const args_t& a) {
         const char* v = std::getenv(a[1].c_str());
         return std::string(v ? v : "(unset)");
     }},
    {"sigint", 1, step_sigint},
    {"say", 1, [](const args_t& a) { return a[1]; }},
    {"say-tty", 1, step_say_tty},
};

bool run_step(const args_t& a)
{
    for (const step_kind& s : steps) {
        if (a[0] != s.name)
            continue;
        if (a.size() != s.args + 1) {
            result(a[0], "bad-arguments");
            return false;
        }
        result(a[0], s.run(a));
        return true;
    }
    result(a[0], "unknown-step");
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    args_t current;
    for (int i = 1; i <= argc; ++i) {
        if (i == argc || std::strcmp(argv[i], "--") == 0) {
            if (!current.empty() && !run_step(current))
                return 2;
            current.clear();
        } else {
            current.push_back(argv[i]);
        }
    }
    std::printf("probe done\n");
    return 0;
}

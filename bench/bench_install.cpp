// Memory and erase counts of the installer: installs a large image (a
// 200 MiB application and a 10 MiB root file system) and a small one (1 MiB
// in all) on the simulated board, each in a child process, and prints the
// children's peak resident memory, the erases each caused and the time.
//
// Runs on the simulated board, where the flash partitions and the user
// partition exist:   sim/bsim run BOARD --program bench_install [MiB]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "board/flash.h"
#include "board/i2c.h"
#include "boot/start.h"
#include "image/crc.h"
#include "image/image.h"
#include "sys/command.h"

namespace {

constexpr const char* DEVICE_LOG = "/.boardsim/log/devices.log";

struct install_figures {
    long peak_kib;
    long erases;
    double seconds;
    int result;
};

// Appends one component of the given payload size, filled with a pattern,
// writing it in fixed pieces so the bench itself stays small.
bool append_component(FILE* out, std::uint32_t type, std::uint32_t payload_size)
{
    std::vector<std::uint8_t> piece(1 << 16);
    std::uint8_t header[IMAGE_HEADER_SIZE];
    encode_header({0, payload_size, type, 0x01020304}, header);
    std::uint32_t crc = gen_crc(header + 4, IMAGE_HEADER_SIZE - 4, 0xFFFFFFFF);
    for (std::uint32_t done = 0; done < payload_size; done += static_cast<std::uint32_t>(piece.size())) {
        const std::uint32_t n =
            std::min<std::uint32_t>(static_cast<std::uint32_t>(piece.size()), payload_size - done);
        for (std::uint32_t i = 0; i < n; ++i)
            piece[i] = static_cast<std::uint8_t>((done + i) * 13 + 7);
        crc = gen_crc(piece.data(), n, crc);
    }
    store_be32(header, crc);
    if (std::fwrite(header, 1, sizeof header, out) != sizeof header)
        return false;
    for (std::uint32_t done = 0; done < payload_size; done += static_cast<std::uint32_t>(piece.size())) {
        const std::uint32_t n =
            std::min<std::uint32_t>(static_cast<std::uint32_t>(piece.size()), payload_size - done);
        for (std::uint32_t i = 0; i < n; ++i)
            piece[i] = static_cast<std::uint8_t>((done + i) * 13 + 7);
        if (std::fwrite(piece.data(), 1, n, out) != n)
            return false;
    }
    return true;
}

bool make_image(const char* path, std::uint32_t app_size, std::uint32_t rfs_size)
{
    FILE* out = std::fopen(path, "wb");
    if (!out)
        return false;
    const bool ok =
        append_component(out, TYPE_APPLICATION, app_size) && append_component(out, TYPE_ROOTFS, rfs_size);
    return std::fclose(out) == 0 && ok;
}

long count_erases()
{
    FILE* log = std::fopen(DEVICE_LOG, "r");
    if (!log)
        return -1;
    long erases = 0;
    char line[512];
    while (std::fgets(line, sizeof line, log))
        if (std::strncmp(line, "mtd erase ", 10) == 0)
            ++erases;
    std::fclose(log);
    return erases;
}

// Runs one installation in a child whose console output goes to /dev/null.
install_figures measure(const char* image_path)
{
    install_figures f{-1, -1, 0, -1};
    const long erases_before = count_erases();
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        const int r = image_path ? processVireoImage(image_path, 0, 1) : 0;
        std::fflush(stdout);
        _exit(r);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child)
        return f;
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    f.peak_kib = usage.ru_maxrss;
    f.result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    f.erases = count_erases() - erases_before;
    return f;
}

void report(const char* name, double mib, const install_figures& f, long baseline_kib)
{
    std::printf(
        "%-22s %8.1f MiB  result=%d  peak RSS %7ld KiB (+%ld over an idle child)  erases %5ld  %6.2f s\n",
        name, mib, f.result, f.peak_kib, f.peak_kib - baseline_kib, f.erases, f.seconds);
}

} // namespace

int main(int argc, char** argv)
{
    const std::uint32_t big_app_mib = argc > 1 ? static_cast<std::uint32_t>(std::atoi(argv[1])) : 200;
    if (bring_up_board() != 0) {
        std::fprintf(stderr, "bench_install: no flash here; run it on the simulated board:\n"
                             "  sim/bsim run BOARD --program bench_install [MiB]\n");
        return 1;
    }
    run_command("mkdir -p /user/images");
    const std::uint32_t rfs_payload = 0xA00000 - IMAGE_HEADER_SIZE; // the root file system's limit
    if (!make_image("/tmp/bench_small.img", (512 << 10) - 16, (512 << 10) - 16) ||
        !make_image("/tmp/bench_large.img", big_app_mib << 20, rfs_payload)) {
        std::fprintf(stderr, "bench_install: cannot write the images to /tmp\n");
        return 1;
    }
    const std::uint32_t block = theFlash.sector_size;
    const long rfs_blocks_large = static_cast<long>((0xA00000 + block - 1) / block);
    const long rfs_blocks_small = static_cast<long>(((512 << 10) + block - 1) / block);

    const install_figures idle = measure(nullptr);
    const install_figures small = measure("/tmp/bench_small.img");
    const install_figures large = measure("/tmp/bench_large.img");
    std::printf("erase block %u bytes\n", block);
    report("idle child", 0, idle, idle.peak_kib);
    report("small image", 1.0, small, idle.peak_kib);
    report("large image", big_app_mib + 10.0, large, idle.peak_kib);
    std::printf("touched blocks: small %ld, large %ld (one erase each expected)\n", rfs_blocks_small,
                rfs_blocks_large);
    const double extra_blocks = static_cast<double>(large.peak_kib - small.peak_kib) * 1024.0 / block;
    std::printf("large - small peak RSS: %ld KiB = %.2f erase blocks; size ratio %.0fx\n",
                large.peak_kib - small.peak_kib, extra_blocks, (big_app_mib + 10.0) / 1.0);
    std::printf("erases per touched block: small %.2f, large %.2f\n",
                static_cast<double>(small.erases) / static_cast<double>(rfs_blocks_small),
                static_cast<double>(large.erases) / static_cast<double>(rfs_blocks_large));
    std::printf("large install throughput: %.1f MiB/s\n", (big_app_mib + 10.0) / large.seconds);
    std::remove("/tmp/bench_small.img");
    std::remove("/tmp/bench_large.img");
    return 0;
}

// The extraction's memory and time against the component size: the checked
// copy of extract_image (walk, CRC over the file beside the payload copy
// into a staging file, renamed onto the archive when the CRC matched) on a
// 16 MiB and a 256 MiB application component, each in a forked child of the
// same small parent so that its peak resident set is its own (a fork, not an
// exec, so that it also works under qemu-user without binfmt), and a plain copy of the same payload
// (dd, and a read/write loop) as the time reference; the extraction is also
// timed confined to one processor, as on a single-core board. Prints the
// figures and ratios of one run (best of five interleaved rounds), with the image in the page cache (warm)
// and evicted from it before each run (cold, as at a board's start, where the slot file is read from flash
// once).
//
//   bench_extract [IMAGE_DIR] [BIG_MiB] [OUT_DIR]
//       IMAGE_DIR on a disk file system (default /var/tmp) so that the cold
//       case can evict it; OUT_DIR (default /dev/shm) stands for the
//       board's tmpfs /tmp
//   bench_extract --file IMAGE [OUT_DIR]
//       on a board: an existing image file (a slot file), evicted before
//       each run, extracted against a read/write copy of the whole file and
//       against the CRC alone over it, each timed by this process's clock
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "boot/extract.h"
#include "image/crc.h"
#include "image/image.h"
#include "sys/command.h"

namespace {

using bench_clock = std::chrono::steady_clock;
constexpr std::size_t CHUNK = 1u << 20;

long peak_rss_kib()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// One image file holding a 1 KiB kernel component, then the application
// component of `payload` bytes, written in chunks (never whole in memory).
bool make_image(const std::string& path, std::uint64_t payload)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    std::vector<std::uint8_t> kernel(16 + 1024, 0x4B);
    encode_header(image_header{0, 1024, TYPE_KERNEL, 0}, kernel.data());
    std::fwrite(kernel.data(), 1, kernel.size(), f);

    std::uint8_t header[16];
    encode_header(image_header{0, static_cast<std::uint32_t>(payload), TYPE_APPLICATION, 0x01000000u},
                  header);
    std::fwrite(header, 1, sizeof header, f);
    auto chunk = std::make_unique<std::uint8_t[]>(CHUNK);
    std::uint32_t crc = gen_crc(header + 4, 12, 0xFFFFFFFFu);
    std::uint32_t x = 7;
    for (std::uint64_t done = 0; done < payload;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(CHUNK, payload - done));
        for (std::size_t i = 0; i < n; ++i) {
            x = x * 1103515245u + 12345u;
            chunk[i] = static_cast<std::uint8_t>(x >> 16);
        }
        crc = gen_crc(chunk.get(), static_cast<std::uint32_t>(n), crc);
        std::fwrite(chunk.get(), 1, n, f);
        done += n;
    }
    store_be32(header, crc);
    std::fseek(f, static_cast<long>(kernel.size()), SEEK_SET);
    std::fwrite(header, 1, 4, f);
    return std::fclose(f) == 0;
}

// Where the payload of make_image's application component starts.
constexpr long GENERATED_PAYLOAD = 16 + 1024 + 16;

// The plain copy reference: the file's bytes from `from` on through a 1 MiB
// buffer.
bool plain_copy(FILE* src, long from, FILE* out)
{
    auto buf = std::make_unique<std::uint8_t[]>(CHUNK);
    std::fseek(src, from, SEEK_SET);
    std::size_t n = 0;
    while ((n = std::fread(buf.get(), 1, CHUNK, src)) > 0)
        if (std::fwrite(buf.get(), 1, n, out) != n)
            return false;
    return true;
}

// A board with a single core: the child and any thread it starts share one
// processor.
void keep_to_one_processor()
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu() < 0 ? 0 : sched_getcpu(), &one);
    sched_setaffinity(0, sizeof one, &one);
}

// The CRC alone over the whole file, read in the extraction's windows.
bool crc_alone(FILE* src)
{
    struct stat st {};
    std::uint32_t crc = IMAGE_CRC_START;
    return fstat(fileno(src), &st) == 0 &&
           crc_of_file_range(fileno(src), {0, static_cast<std::uint64_t>(st.st_size)}, &crc);
}

// One measured run; writes "seconds peak-RSS-KiB" to out_fd.
int child(const std::string& mode, const std::string& image, const std::string& out_path, int out_fd)
{
    FILE* src = std::fopen(image.c_str(), "rb");
    FILE* out = std::fopen(out_path.c_str(), "wb");
    if (!src || !out)
        return 2;
    const auto t0 = bench_clock::now();
    bool ok = false;
    if (mode == "idle") {
        ok = true;
    } else if (mode == "extract" || mode == "extract-one-cpu") {
        if (mode == "extract-one-cpu")
            keep_to_one_processor();
        component_layout c{};
        ok = extract_component(src, out_path, &c) == extract_result::copied;
    } else if (mode == "crc") {
        ok = crc_alone(src);
    } else {
        // "copy" is the generated payload's copy, "copy-file" the whole file's.
        ok = plain_copy(src, mode == "copy-file" ? 0 : GENERATED_PAYLOAD, out);
    }
    ok = std::fclose(out) == 0 && ok;
    const std::chrono::duration<double> dt = bench_clock::now() - t0;
    std::fclose(src);
    const std::string figures = strprintf("%.6f %ld\n", dt.count(), peak_rss_kib());
    const bool sent = write(out_fd, figures.data(), figures.size()) == static_cast<ssize_t>(figures.size());
    return ok && sent ? 0 : 1;
}

// Drops the file's pages from the page cache (only this file's).
void evict(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return;
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
}

struct run_figures {
    double seconds = 1e9;
    long rss_kib = 0;
};

bool run_child(const std::string& mode, const std::string& image, const std::string& out, double* s,
               long* rss)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        _exit(child(mode, image, out, fds[1]));
    }
    close(fds[1]);
    char text[64] = {};
    const ssize_t got = pid > 0 ? read(fds[0], text, sizeof text - 1) : -1;
    close(fds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return false;
    return got > 0 && std::sscanf(text, "%lf %ld", s, rss) == 2;
}

// One timed dd run of the payload.
double run_dd(const std::string& image, const std::string& out)
{
    const std::string line =
        strprintf("dd if=%s of=%s bs=1M iflag=skip_bytes,count_bytes skip=%d 2>/dev/null",
                  shell_quote(image).c_str(), shell_quote(out).c_str(), static_cast<int>(GENERATED_PAYLOAD));
    const auto t0 = bench_clock::now();
    if (run_command(line) != 0)
        return -1;
    const std::chrono::duration<double> dt = bench_clock::now() - t0;
    return dt.count();
}

void keep_best(run_figures* best, const std::string& mode, const std::string& image, const std::string& out)
{
    double s = 0;
    long rss = 0;
    if (!run_child(mode, image, out, &s, &rss)) {
        std::fprintf(stderr, "bench_extract: %s run failed\n", mode.c_str());
        std::exit(1);
    }
    best->seconds = std::min(best->seconds, s);
    best->rss_kib = std::max(best->rss_kib, rss);
}

struct time_figures {
    run_figures extract, extract_one_cpu, copy;
    double dd = 1e9;
};

// Best of five rounds; each round runs every contender once, one after the
// other, so that a burst of load elsewhere on the machine hits them alike.
time_figures measure_times(const std::string& image, const std::string& out, bool cold)
{
    time_figures t;
    for (int round = 0; round < 5; ++round) {
        const auto prepare = [&] {
            if (cold)
                evict(image);
        };
        prepare();
        keep_best(&t.extract, "extract", image, out);
        prepare();
        keep_best(&t.extract_one_cpu, "extract-one-cpu", image, out);
        prepare();
        keep_best(&t.copy, "copy", image, out);
        prepare();
        const double dd = run_dd(image, out);
        if (dd < 0) {
            std::fprintf(stderr, "bench_extract: dd failed\n");
            std::exit(1);
        }
        t.dd = std::min(t.dd, dd);
    }
    return t;
}

run_figures measure(const std::string& mode, const std::string& image, const std::string& out)
{
    run_figures best;
    for (int round = 0; round < 3; ++round)
        keep_best(&best, mode, image, out);
    return best;
}

void print_time_figures(const char* label, const time_figures& t)
{
    std::printf("%s: extraction %.4f s, read/write copy %.4f s (extraction/copy %.3fx), dd bs=1M %.4f s "
                "(extraction/dd %.3fx); on one processor: extraction %.4f s (extraction/dd %.3fx)\n",
                label, t.extract.seconds, t.copy.seconds, t.extract.seconds / t.copy.seconds, t.dd,
                t.extract.seconds / t.dd, t.extract_one_cpu.seconds, t.extract_one_cpu.seconds / t.dd);
}

// An existing image file, cold each time: the extraction against a copy of
// the whole file and against the CRC alone over it (best of five rounds).
int measure_file(const std::string& image, const std::string& out_dir)
{
    const std::string out = strprintf("%s/bench_extract_out.%d", out_dir.c_str(), getpid());
    run_figures extract, copy, crc;
    for (int round = 0; round < 5; ++round) {
        for (auto [mode, best] : {std::pair{"extract", &extract}, {"copy-file", &copy}, {"crc", &crc}}) {
            std::remove(out.c_str());
            sync();
            evict(image);
            keep_best(best, mode, image, out);
        }
    }
    std::remove(out.c_str());
    // The CRC pass reads the file as well, so copy and CRC pass together
    // count the reading twice: their sum is no floor.
    std::printf("%s, cold: extraction %.4f s, read/write copy %.4f s, CRC alone %.4f s (reading included); "
                "extraction/copy %.3fx\n",
                image.c_str(), extract.seconds, copy.seconds, crc.seconds, extract.seconds / copy.seconds);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 2 && std::strcmp(argv[1], "--file") == 0)
        return measure_file(argv[2], argc > 3 ? argv[3] : "/tmp");
    const std::string dir = argc > 1 ? argv[1] : "/var/tmp";
    const std::uint64_t big_mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 256;
    const std::string out_dir = argc > 3 ? argv[3] : (path_exists("/dev/shm") ? "/dev/shm" : "/tmp");
    const std::string work = strprintf("%s/bench_extract.%d", dir.c_str(), getpid());
    if (mkdir(work.c_str(), 0700) != 0) {
        std::perror(work.c_str());
        return 1;
    }
    const std::string small = work + "/small.img", big = work + "/big.img";
    const std::string out = strprintf("%s/bench_extract_out.%d", out_dir.c_str(), getpid());
    if (!make_image(small, 16u << 20) || !make_image(big, big_mib << 20)) {
        std::fprintf(stderr, "bench_extract: cannot write images in %s\n", work.c_str());
        return 1;
    }
    const run_figures idle = measure("idle", small, out);
    const run_figures s = measure("extract", small, out);
    const run_figures b = measure("extract", big, out);
    const time_figures warm = measure_times(big, out, false);
    const time_figures cold = measure_times(big, out, true);
    std::printf("images in %s, archive written to %s\n", dir.c_str(), out_dir.c_str());
    std::printf("process without extraction: peak RSS %6ld KiB\n", idle.rss_kib);
    std::printf("extraction  16 MiB: %8.4f s  peak RSS %6ld KiB\n", s.seconds, s.rss_kib);
    std::printf("extraction %3llu MiB: %8.4f s  peak RSS %6ld KiB\n",
                static_cast<unsigned long long>(big_mib), b.seconds, b.rss_kib);
    std::printf("peak RSS ratio big/small: %.3fx\n",
                static_cast<double>(b.rss_kib) / static_cast<double>(s.rss_kib));
    print_time_figures("warm cache", warm);
    print_time_figures("cold cache", cold);
    std::remove(out.c_str());
    run_command(strprintf("rm -rf %s", shell_quote(work).c_str()));
    return 0;
}

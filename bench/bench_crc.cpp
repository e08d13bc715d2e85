// Throughput of the image checksum: the table-driven gen_crc against the
// bit-by-bit rule and (where the build has zlib) zlib's crc32, whose result
// is the complement of ours. Prints GB/s and the ratios of one run.
//
//   bench_crc [MiB]     buffer size, default 256 (bit-by-bit pass uses 1/8 of it)
#include "image/crc.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#ifdef HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

using bench_clock = std::chrono::steady_clock;

std::vector<std::uint8_t> make_buffer(std::size_t size)
{
    std::vector<std::uint8_t> buf(size);
    std::uint32_t x = 0x12345678u;
    for (auto& b : buf) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return buf;
}

// Best of `rounds` passes, in GB/s; the checksum of the last pass goes to *out.
template <typename F> double best_rate(F&& crc_pass, std::size_t size, int rounds, std::uint32_t* out)
{
    double best = 0;
    for (int r = 0; r < rounds; ++r) {
        const auto t0 = bench_clock::now();
        *out = crc_pass();
        const std::chrono::duration<double> dt = bench_clock::now() - t0;
        const double rate = static_cast<double>(size) / dt.count() / 1e9;
        if (rate > best)
            best = rate;
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const std::size_t size = (mib ? mib : 256) << 20;
    const std::size_t bit_size = size / 8;
    const auto buf = make_buffer(size);
    const auto len = static_cast<std::uint32_t>(size);

    std::uint32_t table_crc = 0;
    std::uint32_t bit_crc = 0;
    const double table_rate =
        best_rate([&] { return gen_crc(buf.data(), len, 0xFFFFFFFFu); }, size, 3, &table_crc);
    const double bit_rate = best_rate(
        [&] { return gen_crc_bitwise(buf.data(), static_cast<std::uint32_t>(bit_size), 0xFFFFFFFFu); },
        bit_size, 1, &bit_crc);
    const bool bit_same = bit_crc == gen_crc(buf.data(), static_cast<std::uint32_t>(bit_size), 0xFFFFFFFFu);

    std::printf("buffer: %zu MiB (bit-by-bit over %zu MiB)\n", size >> 20, bit_size >> 20);
    std::printf("gen_crc (table)   : %6.3f GB/s  crc=0x%08x\n", table_rate, table_crc);
    std::printf("gen_crc_bitwise   : %6.3f GB/s  same result: %s\n", bit_rate, bit_same ? "yes" : "NO");
    std::printf("ratio table/bitwise: %.1fx\n", table_rate / bit_rate);
#ifdef HAVE_ZLIB
    std::uint32_t z = 0;
    const double zlib_rate =
        best_rate([&] { return static_cast<std::uint32_t>(crc32(0L, buf.data(), len)); }, size, 3, &z);
    std::printf("zlib crc32        : %6.3f GB/s  complement matches: %s\n", zlib_rate,
                (~z) == table_crc ? "yes" : "NO");
    std::printf("ratio table/zlib  : %.2fx\n", table_rate / zlib_rate);
    return bit_same && (~z) == table_crc ? 0 : 1;
#else
    std::printf("zlib crc32        : not in this build\n");
    return bit_same ? 0 : 1;
#endif
}

// The image checksum: check value, the bit-by-bit rule on every length and
// alignment the table-driven routine treats differently, chaining across
// pieces, and zlib's crc32 (whose result is our complement) as the oracle.
#include "image/crc.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#ifdef HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

std::vector<std::uint8_t> random_bytes(std::size_t n, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<std::uint8_t>(rng());
    return v;
}

std::uint32_t u32(std::size_t n)
{
    return static_cast<std::uint32_t>(n);
}

} // namespace

TEST(GenCrc, CheckValueAndEmptyInput)
{
    const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(gen_crc(digits, 9, 0xFFFFFFFFu), 0x340BC6D9u);
    EXPECT_EQ(gen_crc_bitwise(digits, 9, 0xFFFFFFFFu), 0x340BC6D9u);
    // A length of 0 gives the starting value back, whatever it is.
    EXPECT_EQ(gen_crc(digits, 0, 0x12345678u), 0x12345678u);
    EXPECT_EQ(gen_crc_bitwise(nullptr, 0, 0xFFFFFFFFu), 0xFFFFFFFFu);
}

// Lengths around the 16-byte step and the three-block groups, at every
// start alignment, with a few starting registers.
TEST(GenCrc, EqualsBitByBitRuleAtAllLengthsAndAlignments)
{
    const auto data = random_bytes(3 * 3 * 4096 + 64, 1);
    const std::size_t lengths[] = {1,   3,    15,   16,    17,    31,    32,         33,
                                   255, 4095, 4096, 12287, 12288, 12289, 24576 + 15, 3 * 3 * 4096};
    const std::uint32_t starts[] = {0xFFFFFFFFu, 0u, 0xDEADBEEFu};
    for (std::size_t align = 0; align < 8; ++align)
        for (const std::size_t len : lengths)
            for (const std::uint32_t start : starts)
                ASSERT_EQ(gen_crc(data.data() + align, u32(len), start),
                          gen_crc_bitwise(data.data() + align, u32(len), start))
                    << "len " << len << " align " << align << " start " << std::hex << start;
}

// The register out of one piece is the register into the next: the
// streaming extraction relies on it.
TEST(GenCrc, ChainsAcrossPiecesOfAnySize)
{
    const auto data = random_bytes(100000, 2);
    const std::uint32_t whole = gen_crc(data.data(), u32(data.size()), 0xFFFFFFFFu);
    const std::size_t pieces[] = {1, 7, 16, 4096, 12288, 12289, 65536};
    for (const std::size_t piece : pieces) {
        std::uint32_t crc = 0xFFFFFFFFu;
        for (std::size_t off = 0; off < data.size(); off += piece) {
            const std::size_t n = std::min(piece, data.size() - off);
            crc = gen_crc(data.data() + off, u32(n), crc);
        }
        EXPECT_EQ(crc, whole) << "piece " << piece;
    }
}

TEST(GenCrc, DetectsEverySingleBitFlip)
{
    auto data = random_bytes(40000, 3);
    const std::uint32_t good = gen_crc(data.data(), u32(data.size()), 0xFFFFFFFFu);
    for (std::size_t pos : {std::size_t{0}, std::size_t{4095}, std::size_t{12288}, data.size() - 1}) {
        for (int bit = 0; bit < 8; ++bit) {
            data[pos] ^= static_cast<std::uint8_t>(1u << bit);
            EXPECT_NE(gen_crc(data.data(), u32(data.size()), 0xFFFFFFFFu), good);
            data[pos] ^= static_cast<std::uint8_t>(1u << bit);
        }
    }
}

#ifdef HAVE_ZLIB
TEST(GenCrc, IsTheComplementOfZlibCrc32OnRandomBuffers)
{
    std::mt19937 rng(4);
    for (int round = 0; round < 200; ++round) {
        const std::size_t len = rng() % 70000;
        const auto data = random_bytes(len, static_cast<std::uint32_t>(round) + 100);
        const auto z = static_cast<std::uint32_t>(crc32(0L, data.data(), u32(len)));
        ASSERT_EQ(gen_crc(data.data(), u32(len), 0xFFFFFFFFu), ~z) << "len " << len;
    }
}
#endif

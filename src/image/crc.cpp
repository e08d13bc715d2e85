// The image checksum: reflected CRC-32 with polynomial 0xEDB88320, started
// by the caller and returned as it leaves the register (no final inversion).
//
// gen_crc is table-driven, sixteen bytes per step ("slicing"): table k holds
// the register change of one byte followed by k zero bytes, so sixteen
// independent look-ups replace 128 shift rounds. Words are assembled from
// single bytes, least significant first, so the code gives the same result
// on a big-endian board as on a little-endian host (compilers turn the
// assembly into one load, byte-reversed where needed).
//
// One register chain is bound by the latency of its look-ups, so long
// buffers are taken in groups of three equal blocks checksummed side by
// side, the second and third started from 0. The CRC is linear: the
// register after A then B equals the register after A moved through |B|
// zero bytes, XOR the register of B started from 0. Moving through n zero
// bytes is a multiplication by x^(8n) modulo the polynomial, a constant
// here because the block size is fixed.
#include "image/crc.h"

#include <array>
#include <cstddef>

namespace {

constexpr std::uint32_t CRC_POLY_REFLECTED = 0xEDB88320u;
constexpr int SLICES = 16;

using crc_tables = std::array<std::array<std::uint32_t, 256>, SLICES>;

constexpr std::uint32_t crc_byte_bitwise(std::uint32_t crc, std::uint8_t byte)
{
    for (int bit = 0; bit < 8; ++bit) {
        const bool low = ((crc ^ byte) & 1u) != 0;
        crc >>= 1;
        if (low)
            crc ^= CRC_POLY_REFLECTED;
        byte >>= 1;
    }
    return crc;
}

constexpr crc_tables make_tables()
{
    crc_tables t{};
    for (std::uint32_t b = 0; b < 256; ++b)
        t[0][b] = crc_byte_bitwise(0, static_cast<std::uint8_t>(b));
    for (int k = 1; k < SLICES; ++k)
        for (std::uint32_t b = 0; b < 256; ++b)
            t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFFu];
    return t;
}

constexpr crc_tables CRC_TABLES = make_tables();

inline std::uint32_t load_le32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The four look-ups of one 32-bit word whose first byte is `slice` bytes
// away from the end of the step.
inline std::uint32_t word_terms(std::uint32_t w, int slice)
{
    return CRC_TABLES[slice][w & 0xFFu] ^ CRC_TABLES[slice - 1][(w >> 8) & 0xFFu] ^
           CRC_TABLES[slice - 2][(w >> 16) & 0xFFu] ^ CRC_TABLES[slice - 3][w >> 24];
}

inline std::uint32_t crc_step16(std::uint32_t crc, const std::uint8_t* p)
{
    const std::uint32_t w0 = crc ^ load_le32(p);
    return word_terms(w0, 15) ^ word_terms(load_le32(p + 4), 11) ^ word_terms(load_le32(p + 8), 7) ^
           word_terms(load_le32(p + 12), 3);
}

// Product of two polynomials modulo the CRC polynomial, in the reflected
// representation (bit 31 is the coefficient of x^0).
constexpr std::uint32_t multiply_mod_poly(std::uint32_t a, std::uint32_t b)
{
    std::uint32_t product = 0;
    for (std::uint32_t bit = 0x80000000u; bit != 0; bit >>= 1) {
        if (a & bit)
            product ^= b;
        b = (b & 1u) ? (b >> 1) ^ CRC_POLY_REFLECTED : b >> 1;
    }
    return product;
}

// x^(8 * bytes) modulo the polynomial: the register change of `bytes` zeros.
constexpr std::uint32_t zero_bytes_operator(std::uint64_t bytes)
{
    std::uint32_t result = 0x80000000u; // x^0
    std::uint32_t power = 0x00800000u;  // x^8
    for (; bytes != 0; bytes >>= 1) {
        if (bytes & 1u)
            result = multiply_mod_poly(result, power);
        power = multiply_mod_poly(power, power);
    }
    return result;
}

constexpr std::size_t BLOCK = 4096;
constexpr std::size_t GROUP = 3 * BLOCK;
constexpr std::uint32_t BLOCK_SHIFT = zero_bytes_operator(BLOCK);

// The register after one group of three blocks, started from crc.
inline std::uint32_t crc_group(std::uint32_t crc, const std::uint8_t* p)
{
    std::uint32_t b = 0;
    std::uint32_t c = 0;
    for (std::size_t off = 0; off < BLOCK; off += SLICES) {
        crc = crc_step16(crc, p + off);
        b = crc_step16(b, p + BLOCK + off);
        c = crc_step16(c, p + 2 * BLOCK + off);
    }
    crc = multiply_mod_poly(crc, BLOCK_SHIFT) ^ b;
    return multiply_mod_poly(crc, BLOCK_SHIFT) ^ c;
}

inline std::uint32_t crc_tail(std::uint32_t crc, const std::uint8_t* p, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        crc = (crc >> 8) ^ CRC_TABLES[0][(crc ^ p[i]) & 0xFFu];
    return crc;
}

} // namespace

std::uint32_t gen_crc(const std::uint8_t* data, std::uint32_t length, std::uint32_t crc)
{
    std::size_t n = length;
    while (n >= GROUP) {
        crc = crc_group(crc, data);
        data += GROUP;
        n -= GROUP;
    }
    while (n >= SLICES) {
        crc = crc_step16(crc, data);
        data += SLICES;
        n -= SLICES;
    }
    return crc_tail(crc, data, n);
}

std::uint32_t gen_crc_bitwise(const std::uint8_t* data, std::uint32_t length, std::uint32_t crc)
{
    for (std::uint32_t i = 0; i < length; ++i)
        crc = crc_byte_bitwise(crc, data[i]);
    return crc;
}

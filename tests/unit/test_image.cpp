// The image format helpers: big-endian words whatever the host, both header
// forms, the refusal of headers that would stall or wrap the component walk,
// the header display and lookup rules, the component walk over real files
// and the windowed component I/O.
#include "image/image.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "boot/extract.h"
#include "console_capture.h"
#include "image/crc.h"

namespace {

std::array<std::uint8_t, 20> probe(std::uint32_t len, std::uint32_t magic, std::uint16_t header_size = 0)
{
    std::array<std::uint8_t, 20> p{};
    encode_header(image_header{0xCAFEF00Du, len, magic, 0x01020304u}, p.data());
    store_be16(p.data() + 18, header_size);
    return p;
}

} // namespace

TEST(ImageBytes, WordsAreBigEndianInBothDirections)
{
    std::uint8_t b[4];
    store_be32(b, 0x01504547u);
    EXPECT_EQ(b[0], 0x01);
    EXPECT_EQ(b[1], 0x50);
    EXPECT_EQ(b[2], 0x45);
    EXPECT_EQ(b[3], 0x47);
    EXPECT_EQ(load_be32(b), 0x01504547u);
    const std::uint8_t hi[] = {0xFF, 0xFE, 0x80, 0x01};
    EXPECT_EQ(load_be32(hi), 0xFFFE8001u);
    EXPECT_EQ(load_be16(hi), 0xFFFEu);
    store_be16(b, 0x1234);
    EXPECT_EQ(b[0], 0x12);
    EXPECT_EQ(b[1], 0x34);
}

TEST(ImageBytes, HeaderFieldsInOrderCrcLenMagicId)
{
    const image_header h{0x11223344u, 0x55667788u, 0x81504547u, 0x0A0B0C0Du};
    std::uint8_t raw[16];
    encode_header(h, raw);
    const std::uint8_t expected[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                       0x81, 0x50, 0x45, 0x47, 0x0A, 0x0B, 0x0C, 0x0D};
    EXPECT_EQ(std::memcmp(raw, expected, 16), 0);
    const image_header back = decode_header(raw);
    EXPECT_EQ(back.crc, h.crc);
    EXPECT_EQ(back.len, h.len);
    EXPECT_EQ(back.magic, h.magic);
    EXPECT_EQ(back.id, h.id);
}

TEST(ComponentLayout, PlainAndExtendedGeometry)
{
    // Plain: 16-byte header whatever bytes 18-19 hold.
    auto plain = component_from_probe(probe(100, TYPE_APPLICATION, 999).data());
    EXPECT_TRUE(plain.sane);
    EXPECT_EQ(plain.type, TYPE_APPLICATION);
    EXPECT_EQ(plain.payload_offset, 16u);
    EXPECT_EQ(plain.total, 116u);
    EXPECT_EQ(plain.header.id, 0x01020304u);

    // Extended: the header-size field gives the payload offset; the type
    // drops bit 31 but the header keeps magic as stored.
    auto ext = component_from_probe(probe(100, TYPE_DIAGNOSTICS | MAGIC_EXTENDED, 64).data());
    EXPECT_TRUE(ext.sane);
    EXPECT_EQ(ext.type, TYPE_DIAGNOSTICS);
    EXPECT_EQ(ext.header.magic, TYPE_DIAGNOSTICS | MAGIC_EXTENDED);
    EXPECT_EQ(ext.payload_offset, 64u);
    EXPECT_EQ(ext.total, 164u);

    // A plain header with len 0 is a 16-byte component.
    auto empty = component_from_probe(probe(0, TYPE_KERNEL).data());
    EXPECT_TRUE(empty.sane);
    EXPECT_EQ(empty.total, 16u);

    // Largest extended header that still fits.
    auto wide =
        component_from_probe(probe(0xFFFFFFFFu - 0xFFFFu, TYPE_ROOTFS | MAGIC_EXTENDED, 0xFFFF).data());
    EXPECT_TRUE(wide.sane);
    EXPECT_EQ(wide.total, 0xFFFFFFFFu);
}

TEST(ComponentLayout, RefusesHeadersThatStallOrWrapTheWalk)
{
    // Extended header sizes below the 20 probe bytes: 0 (with len 0 the walk
    // would stand still), 3 (total below 4: no CRC range), 19.
    for (std::uint16_t hs : {0, 3, 16, 19}) {
        auto c = component_from_probe(probe(0, TYPE_APPLICATION | MAGIC_EXTENDED, hs).data());
        EXPECT_FALSE(c.sane) << "header size " << hs;
    }
    EXPECT_TRUE(component_from_probe(probe(0, TYPE_APPLICATION | MAGIC_EXTENDED, 20).data()).sane);
    // header size + len beyond 32 bits.
    auto wrap = component_from_probe(probe(0xFFFFFFF0u, TYPE_APPLICATION).data());
    EXPECT_FALSE(wrap.sane);
    EXPECT_EQ(wrap.total, 0u); // the wrapped value a careless walk would use
    auto wrap_ext = component_from_probe(probe(0xFFFFFFFFu, TYPE_KERNEL | MAGIC_EXTENDED, 20).data());
    EXPECT_FALSE(wrap_ext.sane);
}

TEST(DisplayHeader, VerbosePrintsFourWordsQuietPrintsNothing)
{
    const image_header h{0xDEADBEEFu, 0x10u, 0x81504547u, 0x01020304u};
    EXPECT_EQ(stdout_of([&] { display_header(&h, 1); }),
              "  crc: 0xdeadbeef\n  len: 0x00000010\nmagic: 0x81504547\n   id: 0x01020304\n");
    EXPECT_EQ(stdout_of([&] { display_header(&h, 0); }), "");
}

TEST(StoredHeaders, UnknownTypeAndNullBuffer)
{
    std::uint8_t buf[16];
    std::memset(buf, 0xAA, sizeof buf);
    std::string out = stdout_of([&] { EXPECT_EQ(read_flash_image_header(0x07504547u, buf, 0), 0); });
    EXPECT_EQ(out, "Unknown image type 0x7504547 \n");
    for (const std::uint8_t b : buf)
        EXPECT_EQ(b, 0); // cleared before the type is looked at
    EXPECT_EQ(read_flash_image_header(TYPE_KERNEL, nullptr, 0), 0);

    // A new component of unknown type has no stored header: never "same".
    std::uint8_t hdr[16];
    encode_header(image_header{1, 2, 0x7F504547u, 3}, hdr);
    out = stdout_of([&] { EXPECT_EQ(verifyMatchingHeaders(hdr, 0), 0); });
    EXPECT_EQ(out, "Unknown image type 0x7f504547 \n");
}

// ---- The component walk and the windowed component I/O on real files ----

namespace {

// Bytes of one component with a correct CRC; header_size 0 means plain.
std::vector<std::uint8_t> make_component(std::uint32_t type, std::size_t payload_len,
                                         std::uint16_t header_size = 0, std::uint8_t fill = 0x5A)
{
    const bool ext = header_size != 0;
    std::vector<std::uint8_t> c(ext ? header_size : 16, 0);
    encode_header(image_header{0, static_cast<std::uint32_t>(payload_len), type | (ext ? MAGIC_EXTENDED : 0u),
                               0x01000000u},
                  c.data());
    if (ext)
        store_be16(c.data() + 18, header_size);
    for (std::size_t i = 0; i < payload_len; ++i)
        c.push_back(static_cast<std::uint8_t>(fill + i * 7));
    store_be32(c.data(), gen_crc(c.data() + 4, static_cast<std::uint32_t>(c.size() - 4), 0xFFFFFFFFu));
    return c;
}

struct temp_image {
    FILE* f = std::tmpfile();
    explicit temp_image(const std::vector<std::uint8_t>& bytes)
    {
        if (!bytes.empty())
            std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fflush(f);
        std::rewind(f);
    }
    ~temp_image() { std::fclose(f); }
    int fd() const { return fileno(f); }
};

// A private directory holding the archive, so that a staging file left
// beside it shows.
struct archive_dir {
    std::string path;
    archive_dir()
    {
        char name[] = "/tmp/extract-test.XXXXXX";
        path = mkdtemp(name) ? name : "";
    }
    ~archive_dir() { std::filesystem::remove_all(path); }
    std::string archive() const { return path + "/app.tar.gz"; }
    std::size_t entries() const
    {
        const auto it = std::filesystem::directory_iterator(path);
        return static_cast<std::size_t>(std::distance(begin(it), end(it)));
    }
};

void write_file(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> join(std::initializer_list<std::vector<std::uint8_t>> parts)
{
    std::vector<std::uint8_t> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

} // namespace

TEST(ComponentWalk, StepsOverOtherTypesToTheFirstBootableComponent)
{
    const auto boot = make_component(TYPE_BOOTLOADER, 300);
    const auto unknown = make_component(0x09504547u, 77, 48);
    const auto app = make_component(TYPE_APPLICATION, 50, 24);
    const auto diag = make_component(TYPE_DIAGNOSTICS, 10);
    temp_image img(join({boot, unknown, app, diag}));
    std::uint8_t probe[20];
    ASSERT_EQ(parse_image(img.f, probe), 1);
    EXPECT_EQ(ftell(img.f), static_cast<long>(boot.size() + unknown.size()));
    EXPECT_EQ(std::memcmp(probe, app.data(), 20), 0);

    // A diagnostics component counts as well.
    temp_image img2(join({make_component(TYPE_KERNEL, 5), diag, app}));
    ASSERT_EQ(parse_image(img2.f, probe), 1);
    EXPECT_EQ(ftell(img2.f), 21);
    EXPECT_EQ(component_from_probe(probe).type, TYPE_DIAGNOSTICS);
}

TEST(ComponentWalk, EndsWhenFewerThanTwentyBytesRemain)
{
    std::uint8_t probe[20];
    // Kernel and root file system only: the walk fails, and the probe holds
    // the last component header it read (its magic is reported).
    const auto rfs = make_component(TYPE_ROOTFS, 40);
    temp_image only_flash(join({make_component(TYPE_KERNEL, 30), rfs}));
    EXPECT_EQ(parse_image(only_flash.f, probe), 0);
    EXPECT_EQ(load_be32(probe + 8), TYPE_ROOTFS);

    // An application component of 16 bytes at the very end is not seen...
    const auto tiny_app = make_component(TYPE_APPLICATION, 0);
    temp_image hidden(join({make_component(TYPE_KERNEL, 30), tiny_app}));
    EXPECT_EQ(parse_image(hidden.f, probe), 0);
    // ...but is once four more bytes follow it.
    temp_image seen(join({tiny_app, std::vector<std::uint8_t>(4, 0xEE)}));
    EXPECT_EQ(parse_image(seen.f, probe), 1);

    temp_image empty({});
    std::memset(probe, 0x77, sizeof probe);
    EXPECT_EQ(parse_image(empty.f, probe), 0);
    EXPECT_EQ(load_be32(probe + 8), 0u); // nothing read: no stale magic

    // A length that points past the end of the file ends the walk, even
    // one that would wrap a 32-bit offset.
    auto far = make_component(TYPE_KERNEL, 30);
    store_be32(far.data() + 4, 0xFFFFFFEFu);
    temp_image past(join({far, make_component(TYPE_APPLICATION, 30)}));
    EXPECT_EQ(parse_image(past.f, probe), 0);
}

TEST(ComponentWalk, StopsAtHeadersThatWouldStallOrWrap)
{
    std::uint8_t probe[20];
    testing::internal::CaptureStderr();
    // Extended header of size 0 and len 0: total 0, the walk would stand still.
    auto stall = make_component(TYPE_KERNEL, 0, 20);
    store_be16(stall.data() + 18, 0);
    temp_image a(join({stall, make_component(TYPE_APPLICATION, 30)}));
    EXPECT_EQ(parse_image(a.f, probe), 0);
    // An application component whose total is below 4 bytes is refused
    // rather than checked over a negative range.
    auto small = make_component(TYPE_APPLICATION, 0, 20);
    store_be16(small.data() + 18, 3);
    temp_image b(join({small, std::vector<std::uint8_t>(40, 0)}));
    EXPECT_EQ(parse_image(b.f, probe), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Component at offset 0 has an implausible header (header size 0, length 0)"),
              std::string::npos);
    EXPECT_NE(err.find("(header size 3, length 0)"), std::string::npos);
}

TEST(CheckCrc, ZeroOnlyWhenTheFileHoldsTheWholeMatchingRange)
{
    // Longer than one read window, at an offset that is not aligned.
    std::vector<std::uint8_t> prefix(1234, 0x11);
    auto comp = make_component(TYPE_APPLICATION, IMAGE_WINDOW * 2 + 77);
    const std::uint32_t crc = load_be32(comp.data());
    const file_range range{prefix.size() + 4, comp.size() - 4};
    temp_image good(join({prefix, comp}));
    EXPECT_EQ(CheckCrc(good.fd(), range, crc), 0);
    EXPECT_EQ(CheckCrc(good.fd(), range, crc ^ 1), 1);
    for (const std::size_t flip : {std::size_t{4}, IMAGE_WINDOW + 3, comp.size() - 1}) {
        auto bytes = comp;
        bytes[flip] ^= 0x10;
        temp_image bad(join({prefix, bytes}));
        EXPECT_EQ(CheckCrc(bad.fd(), range, crc), 1) << "flip at " << flip;
    }
    // A file that ends inside the range, by one byte.
    ASSERT_EQ(ftruncate(good.fd(), static_cast<off_t>(prefix.size() + comp.size() - 1)), 0);
    EXPECT_EQ(CheckCrc(good.fd(), range, crc), 1);
}

TEST(ComponentFileIo, WindowedCrcAndCopyStayInsideTheFile)
{
    std::vector<std::uint8_t> prefix(1234, 0x11);
    auto comp = make_component(TYPE_APPLICATION, (9u << 20) + 77);
    temp_image img(join({prefix, comp}));
    std::uint32_t crc = IMAGE_CRC_START;
    ASSERT_TRUE(crc_of_file_range(img.fd(), {prefix.size() + 4, comp.size() - 4}, &crc));
    EXPECT_EQ(crc, load_be32(comp.data()));

    FILE* out = std::tmpfile();
    ASSERT_EQ(copy_file_range_to(img.fd(), {prefix.size() + 16, comp.size() - 16}, fileno(out)),
              copy_result::copied);
    EXPECT_EQ(file_size_of(fileno(out)), static_cast<long long>(comp.size() - 16));
    std::vector<std::uint8_t> back(comp.size() - 16);
    ASSERT_EQ(pread(fileno(out), back.data(), back.size(), 0), static_cast<ssize_t>(back.size()));
    EXPECT_TRUE(std::equal(back.begin(), back.end(), comp.begin() + 16));

    // One byte beyond the end: refused before anything is read or written.
    const auto size = static_cast<std::uint64_t>(file_size_of(img.fd()));
    crc = IMAGE_CRC_START;
    EXPECT_FALSE(crc_of_file_range(img.fd(), {4, size - 3}, &crc));
    EXPECT_EQ(crc, IMAGE_CRC_START);
    EXPECT_EQ(copy_file_range_to(img.fd(), {size, 1}, fileno(out)), copy_result::read_failed);
    EXPECT_FALSE(crc_of_file_range(img.fd(), {~std::uint64_t{0} - 2, 16}, &crc));
    EXPECT_EQ(file_size_of(fileno(out)), static_cast<long long>(comp.size() - 16));
    std::fclose(out);

    // A full output is a failed write, not a failed read.
    FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(copy_file_range_to(img.fd(), {0, size}, fileno(full)), copy_result::write_failed);
    std::fclose(full);
}

TEST(ComponentFileIo, OnePassCopiesThePayloadAndChecksTheWholeComponent)
{
    // A header longer than 16 bytes, at an offset that is not aligned: the
    // first window holds bytes the CRC covers but the copy leaves out.
    std::vector<std::uint8_t> prefix(1234, 0x11);
    const auto comp = make_component(TYPE_APPLICATION, IMAGE_WINDOW * 2 + 77, 24);
    temp_image img(join({prefix, comp}));
    image_component c;
    ASSERT_TRUE(read_component_at(img.fd(), prefix.size(), &c));
    ASSERT_TRUE(c.layout.sane);
    const auto payload = payload_range(c);

    FILE* out = std::tmpfile();
    std::uint32_t crc = IMAGE_CRC_START;
    ASSERT_EQ(copy_payload_with_crc(img.fd(), c, fileno(out), &crc), copy_result::copied);
    EXPECT_EQ(crc, load_be32(comp.data()));
    std::vector<std::uint8_t> back(payload.count + 1);
    ASSERT_EQ(pread(fileno(out), back.data(), back.size(), 0), static_cast<ssize_t>(payload.count));
    EXPECT_TRUE(std::equal(back.begin(), back.end() - 1, comp.begin() + 24));
    std::fclose(out);

    // A damaged byte in the header's extra bytes changes the CRC only.
    auto damaged = comp;
    damaged[20] ^= 1;
    temp_image bad(join({prefix, damaged}));
    out = std::tmpfile();
    crc = IMAGE_CRC_START;
    EXPECT_EQ(copy_payload_with_crc(bad.fd(), c, fileno(out), &crc), copy_result::copied);
    EXPECT_NE(crc, load_be32(comp.data()));
    std::fclose(out);

    // A full output: the write fails, the checksum still covers it all.
    FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    crc = IMAGE_CRC_START;
    EXPECT_EQ(copy_payload_with_crc(img.fd(), c, fileno(full), &crc), copy_result::write_failed);
    EXPECT_EQ(crc, load_be32(comp.data()));
    std::fclose(full);

    // A file that ends one byte early is a failed read, refused up front.
    ASSERT_EQ(ftruncate(img.fd(), static_cast<off_t>(prefix.size() + comp.size() - 1)), 0);
    out = std::tmpfile();
    EXPECT_EQ(copy_payload_with_crc(img.fd(), c, fileno(out), &crc), copy_result::read_failed);
    EXPECT_EQ(file_size_of(fileno(out)), 0);
    std::fclose(out);
}

TEST(ComponentWalk, StepsFromHeaderToHeaderAndKnowsTheRanges)
{
    const auto kernel = make_component(TYPE_KERNEL, 30);
    const auto app = make_component(TYPE_APPLICATION, 50, 24);
    temp_image img(join({kernel, app, std::vector<std::uint8_t>(19, 0xEE)}));
    image_component c;
    ASSERT_TRUE(read_component_at(img.fd(), 0, &c));
    EXPECT_EQ(c.layout.type, TYPE_KERNEL);
    EXPECT_EQ(next_component_start(c), kernel.size());
    ASSERT_TRUE(read_component_at(img.fd(), next_component_start(c), &c));
    EXPECT_EQ(c.start, kernel.size());
    EXPECT_EQ(std::memcmp(c.probe, app.data(), sizeof c.probe), 0);
    EXPECT_EQ(crc_range(c).offset, kernel.size() + 4);
    EXPECT_EQ(crc_range(c).count, app.size() - 4);
    EXPECT_EQ(payload_range(c).offset, kernel.size() + 24);
    EXPECT_EQ(payload_range(c).count, 50u);
    const std::uint64_t size = kernel.size() + app.size() + 19;
    EXPECT_TRUE(component_within(c, size));
    EXPECT_FALSE(component_within(c, kernel.size() + app.size() - 1));
    // 19 bytes are left: the walk is over, and nothing stale stays.
    EXPECT_FALSE(read_component_at(img.fd(), next_component_start(c), &c));
    EXPECT_EQ(load_be32(c.probe + 8), 0u);
}

// A long component, whose CRC runs beside the copy on a machine with
// several processors: the archive changes only when the CRC matches, a flip
// near either end is caught, and the staging file never stays behind.
TEST(ComponentFileIo, LongComponentReachesTheArchiveOnlyWithAGoodCrc)
{
    archive_dir dir;
    std::vector<std::uint8_t> prefix(333, 0x5A);
    const auto comp = make_component(TYPE_APPLICATION, (18u << 20) + 5, 24);
    for (const std::size_t flip : {std::size_t{0}, std::size_t{4}, std::size_t{30}, comp.size() - 1}) {
        auto bytes = comp;
        if (flip != 0)
            bytes[flip] ^= 0x80;
        temp_image img(join({make_component(TYPE_KERNEL, 100), bytes}));
        write_file(dir.archive(), "earlier archive");
        component_layout c{};
        const extract_result r = extract_component(img.f, dir.archive(), &c);
        EXPECT_EQ(dir.entries(), 1u) << "flip at " << flip;
        if (flip != 0) {
            EXPECT_EQ(r, extract_result::crc_failed) << "flip at " << flip;
            EXPECT_EQ(read_file(dir.archive()), "earlier archive");
            continue;
        }
        ASSERT_EQ(r, extract_result::copied);
        const std::string archive = read_file(dir.archive());
        ASSERT_EQ(archive.size(), comp.size() - 24);
        EXPECT_EQ(std::memcmp(archive.data(), comp.data() + 24, archive.size()), 0);
    }
    // An archive in a directory that cannot hold the staging file: a failed
    // write, never a partial archive.
    temp_image img(comp);
    component_layout c{};
    EXPECT_EQ(extract_component(img.f, dir.path + "/missing/app.tar.gz", &c), extract_result::write_failed);
    EXPECT_EQ(dir.entries(), 1u);
}

// Hostile files: random component chains with wild lengths, header sizes and
// types, some cut short. The walk must end, and a copied payload must be
// exactly `len` bytes that lie inside the file, after a CRC that matched.
TEST(ComponentWalk, RandomHostileFilesNeverLoopOrReadOutside)
{
    archive_dir dir;
    std::mt19937 rng(12345);
    auto next = [&rng] { return static_cast<std::uint32_t>(rng()); };
    const std::uint32_t types[] = {TYPE_APPLICATION, TYPE_DIAGNOSTICS, TYPE_KERNEL, TYPE_BOOTLOADER,
                                   0x7F504547u};
    int copied = 0;
    int refused = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<std::uint8_t> bytes;
        const int parts = 1 + static_cast<int>(next() % 4);
        for (int p = 0; p < parts; ++p) {
            const std::uint16_t hs = (next() & 1) ? static_cast<std::uint16_t>(next() % 64) : 0;
            auto c = make_component(types[next() % 5], next() % 300, hs >= 20 ? hs : 0);
            if (hs && hs < 20) { // a header size no reader may trust
                store_be32(c.data() + 8, load_be32(c.data() + 8) | MAGIC_EXTENDED);
                store_be16(c.data() + 18, hs);
            }
            if (next() % 4 == 0)
                store_be32(c.data() + 4, next()); // a length that lies
            if (next() % 4 == 0)
                c.resize(next() % (c.size() + 1)); // cut short
            bytes.insert(bytes.end(), c.begin(), c.end());
        }
        temp_image img(bytes);
        write_file(dir.archive(), "before");
        component_layout c{};
        testing::internal::CaptureStderr();
        const extract_result r = extract_component(img.f, dir.archive(), &c);
        testing::internal::GetCapturedStderr();
        if (r == extract_result::copied) {
            ++copied;
            const auto start = static_cast<std::uint64_t>(ftello(img.f));
            EXPECT_TRUE(c.sane);
            EXPECT_LE(start + c.total, bytes.size());
            EXPECT_EQ(read_file(dir.archive()).size(), c.header.len);
            EXPECT_EQ(gen_crc(bytes.data() + start + 4, c.total - 4, 0xFFFFFFFFu), c.header.crc);
        } else {
            ++refused;
            EXPECT_EQ(read_file(dir.archive()), "before"); // nothing reaches the archive
        }
        EXPECT_EQ(dir.entries(), 1u); // no staging file left behind
    }
    // Both outcomes occur often enough for the checks above to mean something.
    EXPECT_GT(copied, 30) << "copied " << copied << ", refused " << refused;
    EXPECT_GT(refused, 30);
}

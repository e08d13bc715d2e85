// bmimage create: components from payload files, written back to back, each
// header with its CRC over bytes 4 to the end of the component. Payloads are
// streamed, never held whole, so image size is bounded only by the disk.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "bmimage.h"
#include "image/crc.h"
#include "image/image.h"
#include "sys/command.h"
#include "sys/files.h"

namespace {

constexpr std::uint32_t COPY_END = BOOTLOADER_HEADER_COPY + IMAGE_HEADER_SIZE;

// Reports a command-line fault; false, for the option parsers to return.
bool refuse(const std::string& text)
{
    usage_error(text);
    return false;
}

// A component's bytes: header, then payload (file bytes, zero padding, the
// boot-loader header copy laid over bytes 240-255).
struct component_bytes {
    const component_request* req;
    std::vector<std::uint8_t> header;
    std::array<std::uint8_t, IMAGE_HEADER_SIZE> copy{};
    int payload_fd = -1;
    std::uint64_t file_len = 0;
    std::uint64_t payload_len = 0;
};

// ----- command line -----

struct option_reader {
    const std::vector<std::string>& args;
    std::size_t i = 0;
    bool more() const { return i < args.size(); }
    const std::string& next() { return args[i++]; }
    bool value(const std::string& option, std::string* out)
    {
        if (!more()) {
            usage_error(option + " needs a value");
            return false;
        }
        *out = next();
        return true;
    }
};

bool number_option(option_reader& r, const std::string& opt, std::uint64_t max, std::uint64_t* v)
{
    std::string text;
    if (!r.value(opt, &text))
        return false;
    if (!parse_number(text, max, v)) {
        usage_error(strprintf("%s: '%s' is not a number from 0 to %llu", opt.c_str(), text.c_str(),
                              static_cast<unsigned long long>(max)));
        return false;
    }
    return true;
}

// One option of the current component; false after an error message.
bool component_option(option_reader& r, const std::string& opt, component_request& c)
{
    std::string text;
    std::uint64_t v = 0;
    if (opt == "--file")
        return r.value(opt, &c.file);
    if (opt == "--version") {
        if (!r.value(opt, &text))
            return false;
        if (parse_version(text, &c.id))
            return true;
        usage_error("--version: '" + text + "' is not a.b.c.d with each number 0-255");
        return false;
    }
    if (opt == "--extended") {
        c.extended = true;
        if (c.header_size < COMPONENT_PROBE_SIZE)
            c.header_size = COMPONENT_PROBE_SIZE;
        return true;
    }
    if (opt == "--header-size") {
        if (!number_option(r, opt, 0xFFFF, &v))
            return false;
        if (v < COMPONENT_PROBE_SIZE) {
            usage_error(strprintf("--header-size: %llu is below 20, the least an extended header takes "
                                  "(--raw-header-size writes such a value for tests)",
                                  static_cast<unsigned long long>(v)));
            return false;
        }
        c.extended = true;
        c.header_size = static_cast<std::uint16_t>(v);
        return true;
    }
    if (opt == "--raw-header-size") {
        if (!number_option(r, opt, 0xFFFF, &v))
            return false;
        c.extended = true;
        c.header_size = static_cast<std::uint16_t>(v);
        return true;
    }
    if (opt == "--bytes16") {
        if (!number_option(r, opt, 0xFFFF, &v))
            return false;
        c.bytes16 = static_cast<std::uint16_t>(v);
        return true;
    }
    if (opt == "--boot-copy")
        return c.boot_copy = true;
    if (opt == "--corrupt-crc")
        return c.corrupt_crc = true;
    if (opt == "--crc" || opt == "--len") {
        if (!number_option(r, opt, 0xFFFFFFFFu, &v))
            return false;
        (opt == "--crc" ? c.crc : c.len) = static_cast<std::uint32_t>(v);
        return true;
    }
    if (opt == "--truncate") {
        if (!number_option(r, opt, ~std::uint64_t{0}, &v))
            return false;
        c.truncate = v;
        return true;
    }
    usage_error("unknown option '" + opt + "'");
    return false;
}

bool check_component(const component_request& c, std::size_t index)
{
    if (c.boot_copy && c.type != TYPE_BOOTLOADER)
        return refuse(strprintf("component %zu: --boot-copy is for a bootloader component", index));
    if (c.bytes16 && !c.extended)
        return refuse(strprintf("component %zu: --bytes16 needs an extended header", index));
    if (c.raw && (c.extended || c.boot_copy || c.corrupt_crc || c.crc || c.len || c.id))
        return refuse(strprintf("component %zu: --raw takes only --truncate", index));
    return true;
}

bool parse_create_args(const std::vector<std::string>& args, std::string* output,
                       std::vector<component_request>* comps)
{
    option_reader r{args};
    while (r.more()) {
        const std::string opt = r.next();
        std::string text;
        if (opt == "-o" || opt == "--output") {
            if (!r.value(opt, output))
                return false;
        } else if (opt == "--type") {
            if (!r.value(opt, &text))
                return false;
            comps->emplace_back();
            if (!parse_type(text, &comps->back().type))
                return refuse("--type: '" + text +
                              "' is no component type (app, bootloader, kernel, "
                              "rootfs, devicetree, diag, 1-127 or 0x... below 0x80000000)");
        } else if (opt == "--raw") {
            comps->emplace_back();
            comps->back().raw = true;
            if (!r.value(opt, &comps->back().file))
                return false;
        } else if (comps->empty()) {
            return refuse("'" + opt + "' before the first --type or --raw");
        } else if (!component_option(r, opt, comps->back())) {
            return false;
        }
    }
    if (output->empty())
        return refuse("create needs -o OUTPUT");
    if (comps->empty())
        return refuse("create needs at least one component (--type ... or --raw FILE)");
    for (std::size_t i = 0; i < comps->size(); ++i)
        if (!check_component((*comps)[i], i + 1))
            return false;
    return true;
}

// Readers see a component only when 20 bytes of the file remain at its
// start: a last component shorter than that would be silently ignored.
bool last_component_visible(const component_request& c, std::uint64_t payload_len)
{
    if (c.raw || c.truncate)
        return true;
    const std::uint64_t header =
        c.extended ? std::max<std::uint64_t>(c.header_size, COMPONENT_PROBE_SIZE) : IMAGE_HEADER_SIZE;
    const std::uint64_t payload = c.boot_copy ? std::max<std::uint64_t>(payload_len, COPY_END) : payload_len;
    if (header + payload >= COMPONENT_PROBE_SIZE)
        return true;
    usage_error(strprintf("the last component would be %llu bytes long; readers ignore a component with "
                          "fewer than 20 bytes from its start to the end of the file (add payload, or "
                          "--raw bytes after it)",
                          static_cast<unsigned long long>(header) + payload));
    return false;
}

// ----- bytes of a component -----

bool open_payload(component_bytes& b, unique_fd& holder)
{
    if (b.req->file.empty())
        return true;
    holder.reset(open(b.req->file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!holder || fstat(holder.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "bmimage: %s: %s\n", b.req->file.c_str(),
                     !holder ? std::strerror(errno) : "not a regular file");
        return false;
    }
    b.payload_fd = holder.get();
    b.file_len = static_cast<std::uint64_t>(st.st_size);
    b.payload_len = b.file_len;
    return true;
}

// Payload bytes [off, off + n) into buf.
bool read_payload(const component_bytes& b, std::uint64_t off, std::uint8_t* buf, std::size_t n)
{
    // Past the file's end the payload is zero padding.
    const std::size_t from_file =
        off < b.file_len ? static_cast<std::size_t>(std::min<std::uint64_t>(n, b.file_len - off)) : 0;
    if (!read_exact(b.payload_fd, off, {buf, from_file})) {
        std::fprintf(stderr, "bmimage: %s: read failed\n", b.req->file.c_str());
        return false;
    }
    std::memset(buf + from_file, 0, n - from_file);
    if (b.req->boot_copy)
        for (std::size_t i = 0; i < n; ++i)
            if (off + i >= BOOTLOADER_HEADER_COPY && off + i < COPY_END)
                buf[i] = b.copy[off + i - BOOTLOADER_HEADER_COPY];
    return true;
}

// Calls sink(bytes, n) over the whole payload, in chunks.
template <typename Sink> bool for_each_payload_chunk(const component_bytes& b, Sink&& sink)
{
    const auto chunk = std::make_unique<std::uint8_t[]>(IMAGE_WINDOW);
    for (std::uint64_t off = 0; off < b.payload_len;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(IMAGE_WINDOW, b.payload_len - off));
        if (!read_payload(b, off, chunk.get(), n) || !sink(chunk.get(), n))
            return false;
        off += n;
    }
    return true;
}

bool build_header(component_bytes& b)
{
    const component_request& c = *b.req;
    if (c.boot_copy && b.payload_len < COPY_END)
        b.payload_len = COPY_END;
    if (!c.len && b.payload_len > 0xFFFFFFFFu - c.header_size)
        return refuse("component too large: header size + length must fit in 32 bits");
    const std::uint32_t len = c.len.value_or(static_cast<std::uint32_t>(b.payload_len));
    const std::uint32_t magic = c.type | (c.extended ? MAGIC_EXTENDED : 0u);
    b.header.assign(
        c.extended ? std::max<std::size_t>(c.header_size, COMPONENT_PROBE_SIZE) : IMAGE_HEADER_SIZE, 0);
    encode_header(image_header{0, len, magic, c.id}, b.header.data());
    if (c.extended) {
        store_be16(b.header.data() + 16, c.bytes16);
        store_be16(b.header.data() + 18, c.header_size);
    }
    // The copy's own crc word stays 0: it lies inside the range it would cover.
    std::memcpy(b.copy.data(), b.header.data(), IMAGE_HEADER_SIZE);
    store_be32(b.copy.data(), 0);

    std::uint32_t crc =
        gen_crc(b.header.data() + 4, static_cast<std::uint32_t>(b.header.size() - 4), 0xFFFFFFFFu);
    if (!for_each_payload_chunk(b, [&](const std::uint8_t* p, std::size_t n) {
            crc = gen_crc(p, static_cast<std::uint32_t>(n), crc);
            return true;
        }))
        return false;
    if (c.crc)
        crc = *c.crc;
    else if (c.corrupt_crc)
        crc ^= 0x00000001u;
    store_be32(b.header.data(), crc);
    return true;
}

// ----- output -----

struct limited_writer {
    FILE* out;
    std::uint64_t left; // bytes still to write of this component
    bool ok = true;
    bool put(const std::uint8_t* p, std::size_t n)
    {
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, left));
        left -= take;
        ok = ok && std::fwrite(p, 1, take, out) == take;
        return ok;
    }
};

bool write_raw(const component_request& c, FILE* out)
{
    component_bytes b{&c, {}, {}, -1, 0, 0};
    unique_fd holder;
    if (!open_payload(b, holder))
        return false;
    limited_writer w{out, c.truncate.value_or(~std::uint64_t{0})};
    return for_each_payload_chunk(b, [&](const std::uint8_t* p, std::size_t n) { return w.put(p, n); });
}

bool write_component(const component_request& c, FILE* out, bool last)
{
    if (c.raw)
        return write_raw(c, out);
    component_bytes b{&c, {}, {}, -1, 0, 0};
    unique_fd holder;
    if (!open_payload(b, holder) || (last && !last_component_visible(c, b.payload_len)) || !build_header(b))
        return false;
    limited_writer w{out, c.truncate.value_or(~std::uint64_t{0})};
    return w.put(b.header.data(), b.header.size()) &&
           for_each_payload_chunk(b, [&](const std::uint8_t* p, std::size_t n) { return w.put(p, n); });
}

// Written beside the output and renamed over it, so a failed run never
// leaves a half image under the output's name.
int write_image(const std::string& output, const std::vector<component_request>& comps)
{
    const std::string temp = output + ".part";
    file_ptr out(std::fopen(temp.c_str(), "wb"));
    if (!out) {
        std::fprintf(stderr, "bmimage: %s: %s\n", temp.c_str(), std::strerror(errno));
        return EXIT_USAGE;
    }
    bool ok = true;
    for (std::size_t i = 0; i < comps.size() && ok; ++i)
        ok = write_component(comps[i], out.get(), i + 1 == comps.size());
    if (!close_file(out) || !ok || std::rename(temp.c_str(), output.c_str()) != 0) {
        if (ok)
            std::fprintf(stderr, "bmimage: %s: write failed: %s\n", output.c_str(), std::strerror(errno));
        std::remove(temp.c_str());
        return EXIT_USAGE;
    }
    return EXIT_GOOD;
}

} // namespace

int run_create(const std::vector<std::string>& args)
{
    std::string output;
    std::vector<component_request> comps;
    if (!parse_create_args(args, &output, &comps))
        return EXIT_USAGE;
    return write_image(output, comps);
}

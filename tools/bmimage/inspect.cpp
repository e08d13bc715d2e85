// bmimage info and verify: the whole component walk of an image file, every
// component's header and CRC, read with the boot manager's own layout rules.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "bmimage.h"
#include "image/crc.h"
#include "image/image.h"
#include "sys/command.h"
#include "sys/files.h"

namespace {

struct component_report {
    image_component component;
    bool complete = false;
    std::uint32_t crc_computed = 0;
    bool crc_ok = false;
    bool has_copy = false; // boot loader holding its header copy at 240
    image_header copy{};
};

struct image_report {
    long long size = 0;
    std::vector<component_report> components;
    std::uint64_t trailing = 0;
    std::string error; // why the walk stopped early
    bool good() const
    {
        if (!error.empty() || trailing != 0 || components.empty())
            return false;
        for (const auto& c : components)
            if (!c.crc_ok)
                return false;
        return true;
    }
};

std::uint16_t bytes16(const component_report& r)
{
    return load_be16(r.component.probe + 16);
}

void check_component(int fd, component_report& r, std::uint64_t size)
{
    const component_layout& c = r.component.layout;
    r.complete = component_within(r.component, size);
    std::uint32_t crc = IMAGE_CRC_START;
    if (r.complete && crc_of_file_range(fd, crc_range(r.component), &crc)) {
        r.crc_computed = crc;
        r.crc_ok = crc == c.header.crc;
    }
    std::uint8_t copy[IMAGE_HEADER_SIZE];
    if (c.type == TYPE_BOOTLOADER && c.header.len >= BOOTLOADER_HEADER_COPY + IMAGE_HEADER_SIZE &&
        r.complete && read_exact(fd, payload_range(r.component).offset + BOOTLOADER_HEADER_COPY, copy)) {
        r.has_copy = true;
        r.copy = decode_header(copy);
    }
}

image_report walk_image(int fd)
{
    image_report rep;
    rep.size = file_size_of(fd);
    const auto size = static_cast<std::uint64_t>(rep.size < 0 ? 0 : rep.size);
    std::uint64_t offset = 0;
    while (offset + COMPONENT_PROBE_SIZE <= size) {
        component_report r;
        if (!read_component_at(fd, offset, &r.component)) {
            rep.error = strprintf("read failed at offset %llu", static_cast<unsigned long long>(offset));
            return rep;
        }
        const component_layout& c = r.component.layout;
        if (!c.sane) {
            rep.error = strprintf("component %zu at offset %llu: implausible header (header size %u, len %u)",
                                  rep.components.size() + 1, static_cast<unsigned long long>(offset),
                                  c.payload_offset, c.header.len);
            return rep;
        }
        check_component(fd, r, size);
        rep.components.push_back(r);
        if (!r.complete)
            return rep;
        offset = next_component_start(r.component);
    }
    rep.trailing = size - offset;
    return rep;
}

bool extended(const component_report& r)
{
    return (r.component.layout.header.magic & MAGIC_EXTENDED) != 0;
}

std::string crc_status(const component_report& r)
{
    if (!r.complete)
        return "truncated";
    return r.crc_ok ? "good" : "bad";
}

void print_human(const std::string& path, const image_report& rep)
{
    std::printf("%s: %lld bytes, %zu component%s\n", path.c_str(), rep.size, rep.components.size(),
                rep.components.size() == 1 ? "" : "s");
    for (std::size_t i = 0; i < rep.components.size(); ++i) {
        const component_report& r = rep.components[i];
        const component_layout& c = r.component.layout;
        std::printf("#%zu at %llu: %s (type 0x%08x, magic 0x%08x), %s header of %u bytes", i + 1,
                    static_cast<unsigned long long>(r.component.start), type_name(c.type).c_str(), c.type,
                    c.header.magic, extended(r) ? "extended" : "plain", c.payload_offset);
        if (extended(r))
            std::printf(", bytes 16-17 0x%04x", bytes16(r));
        std::printf("\n    version %s, len %u, total %u, crc 0x%08x %s", version_text(c.header.id).c_str(),
                    c.header.len, c.total, c.header.crc, crc_status(r).c_str());
        if (r.complete && !r.crc_ok)
            std::printf(" (computed 0x%08x)", r.crc_computed);
        std::printf("\n");
        if (r.has_copy)
            std::printf("    header copy at payload byte 240: version %s, len %u, magic 0x%08x\n",
                        version_text(r.copy.id).c_str(), r.copy.len, r.copy.magic);
    }
    if (rep.trailing)
        std::printf("trailing %llu bytes: too short for a component\n",
                    static_cast<unsigned long long>(rep.trailing));
    if (!rep.error.empty())
        std::printf("walk stopped: %s\n", rep.error.c_str());
}

std::string json_string(const std::string& s)
{
    std::string out = "\"";
    for (const unsigned char ch : s) {
        if (ch == '"' || ch == '\\')
            out += std::string("\\") + static_cast<char>(ch);
        else if (ch < 0x20)
            out += strprintf("\\u%04x", ch);
        else
            out += static_cast<char>(ch);
    }
    return out + "\"";
}

void print_json(const std::string& path, const image_report& rep)
{
    std::printf("{\"file\": %s, \"size\": %lld, \"components\": [", json_string(path).c_str(), rep.size);
    for (std::size_t i = 0; i < rep.components.size(); ++i) {
        const component_report& r = rep.components[i];
        const component_layout& c = r.component.layout;
        std::printf(
            "%s\n  {\"index\": %zu, \"offset\": %llu, \"type\": %s, \"type_word\": %u, \"magic\": %u, "
            "\"extended\": %s, \"header_size\": %u, \"bytes16\": %s, \"version\": %s, \"id\": %u, "
            "\"len\": %u, \"total\": %u, \"crc\": %u, \"crc_computed\": %u, \"complete\": %s, "
            "\"crc_ok\": %s, \"status\": %s",
            i ? "," : "", i + 1, static_cast<unsigned long long>(r.component.start),
            json_string(type_name(c.type)).c_str(), c.type, c.header.magic, extended(r) ? "true" : "false",
            c.payload_offset, extended(r) ? strprintf("%u", bytes16(r)).c_str() : "null",
            json_string(version_text(c.header.id)).c_str(), c.header.id, c.header.len, c.total, c.header.crc,
            r.crc_computed, r.complete ? "true" : "false", r.crc_ok ? "true" : "false",
            json_string(crc_status(r)).c_str());
        if (r.has_copy)
            std::printf(", \"header_copy\": {\"len\": %u, \"magic\": %u, \"id\": %u, \"version\": %s}",
                        r.copy.len, r.copy.magic, r.copy.id, json_string(version_text(r.copy.id)).c_str());
        std::printf("}");
    }
    std::printf("%s], \"trailing\": %llu, \"error\": %s, \"ok\": %s}\n", rep.components.empty() ? "" : "\n",
                static_cast<unsigned long long>(rep.trailing),
                rep.error.empty() ? "null" : json_string(rep.error).c_str(), rep.good() ? "true" : "false");
}

unique_fd open_image(const std::string& path)
{
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        std::fprintf(stderr, "bmimage: %s: %s\n", path.c_str(), std::strerror(errno));
    return fd;
}

void print_problems(const std::string& path, const image_report& rep)
{
    if (rep.components.empty() && rep.error.empty())
        std::fprintf(stderr, "%s: no component\n", path.c_str());
    for (std::size_t i = 0; i < rep.components.size(); ++i) {
        const component_report& r = rep.components[i];
        if (!r.complete)
            std::fprintf(stderr, "%s: component %zu (%s): file ends %llu bytes before its end\n",
                         path.c_str(), i + 1, type_name(r.component.layout.type).c_str(),
                         static_cast<unsigned long long>(next_component_start(r.component) -
                                                         static_cast<std::uint64_t>(rep.size)));
        else if (!r.crc_ok)
            std::fprintf(stderr, "%s: component %zu (%s): crc 0x%08x, computed 0x%08x\n", path.c_str(), i + 1,
                         type_name(r.component.layout.type).c_str(), r.component.layout.header.crc,
                         r.crc_computed);
    }
    if (rep.trailing)
        std::fprintf(stderr, "%s: %llu trailing bytes after the last component\n", path.c_str(),
                     static_cast<unsigned long long>(rep.trailing));
    if (!rep.error.empty())
        std::fprintf(stderr, "%s: %s\n", path.c_str(), rep.error.c_str());
}

} // namespace

int run_info(const std::vector<std::string>& args)
{
    bool json = false;
    std::string path;
    for (const std::string& a : args) {
        if (a == "--json")
            json = true;
        else if (path.empty() && (a.empty() || a[0] != '-'))
            path = a;
        else
            return usage_error("info: unexpected argument '" + a + "'");
    }
    if (path.empty())
        return usage_error("info needs a FILE");
    const unique_fd fd = open_image(path);
    if (!fd)
        return EXIT_USAGE;
    const image_report rep = walk_image(fd.get());
    if (json)
        print_json(path, rep);
    else
        print_human(path, rep);
    return rep.good() ? EXIT_GOOD : EXIT_BAD_IMAGE;
}

int run_verify(const std::vector<std::string>& args)
{
    if (args.size() != 1 || args[0].empty() || args[0][0] == '-')
        return usage_error("verify needs exactly one FILE");
    const unique_fd fd = open_image(args[0]);
    if (!fd)
        return EXIT_USAGE;
    const image_report rep = walk_image(fd.get());
    if (!rep.good()) {
        print_problems(args[0], rep);
        return EXIT_BAD_IMAGE;
    }
    std::printf("%s: %zu component%s, all good\n", args[0].c_str(), rep.components.size(),
                rep.components.size() == 1 ? "" : "s");
    return EXIT_GOOD;
}

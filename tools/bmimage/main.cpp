// bmimage command line: the sub-command, the usage text and the parsers of
// numbers, versions and type names shared by the sub-commands.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bmimage.h"
#include "image/image.h"
#include "sys/command.h"

namespace {

const char* const USAGE =
    "usage: bmimage create -o OUTPUT COMPONENT...\n"
    "       bmimage info [--json] FILE\n"
    "       bmimage verify FILE\n"
    "\n"
    "A component of create starts with --type (or --raw) and takes the options after it:\n"
    "  --type T            app, bootloader, kernel, rootfs, devicetree, diag; a number 1-127\n"
    "                      (type number N is N<<24 | 0x504547); or a whole type word 0x...\n"
    "  --file PATH         payload (default: none)\n"
    "  --version A.B.C.D   version, each number 0-255 (default 0.0.0.0)\n"
    "  --extended          extended header of 20 bytes\n"
    "  --header-size N     extended header of N bytes, 20-65535\n"
    "  --bytes16 V         bytes 16-17 of an extended header, 0-65535\n"
    "  --boot-copy         boot loader: copy of the header at payload byte 240 (its crc word\n"
    "                      0; the payload is padded with zeros to 256 bytes)\n"
    "  --raw PATH          a component of raw bytes written unchanged\n"
    "Deliberate faults, for tests (the crc is still that of the bytes built, before --truncate):\n"
    "  --corrupt-crc       store a wrong crc      --crc V   store V as crc\n"
    "  --len V             store V as len, the payload written unchanged\n"
    "  --truncate N        write only the first N bytes of the component\n"
    "  --raw-header-size N store N (0-65535) as the extended header size, unchecked;\n"
    "                      the header then takes max(N, 20) bytes\n"
    "\n"
    "info lists every component (offset, type, header form, version, len, crc good, bad or\n"
    "truncated; --json for programs); verify prints only the problems. Both exit 0 when every\n"
    "component is whole with a good crc and nothing trails them, 1 otherwise, 2 on misuse.\n";

} // namespace

int usage_error(const std::string& text)
{
    std::fprintf(stderr, "bmimage: %s\n", text.c_str());
    return EXIT_USAGE;
}

bool parse_number(const std::string& text, std::uint64_t max, std::uint64_t* value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    *value = v;
    return true;
}

bool parse_version(const std::string& text, std::uint32_t* id)
{
    std::uint32_t out = 0;
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = text.find('.', pos);
        const bool last = part == 3;
        if (last != (dot == std::string::npos))
            return false;
        const std::string piece = text.substr(pos, last ? std::string::npos : dot - pos);
        std::uint64_t v = 0;
        if (piece.empty() || piece.find_first_not_of("0123456789") != std::string::npos || piece.size() > 3 ||
            !parse_number(piece, 255, &v))
            return false;
        out = (out << 8) | static_cast<std::uint32_t>(v);
        pos = dot + 1;
    }
    *id = out;
    return true;
}

std::string version_text(std::uint32_t id)
{
    return strprintf("%u.%u.%u.%u", id >> 24, (id >> 16) & 0xFFu, (id >> 8) & 0xFFu, id & 0xFFu);
}

std::string type_name(std::uint32_t type)
{
    const component_kind* k = component_kind_of(type);
    return k != nullptr ? k->name : "unknown";
}

bool parse_type(const std::string& text, std::uint32_t* type)
{
    for (const component_kind& k : component_kinds())
        if (text == k.name || (k.alias != nullptr && text == k.alias)) {
            *type = k.type;
            return true;
        }
    std::uint64_t v = 0;
    if (!parse_number(text, MAGIC_EXTENDED - 1, &v) || v == 0)
        return false;
    *type = v < 128 ? static_cast<std::uint32_t>(v << 24) | 0x504547u : static_cast<std::uint32_t>(v);
    return true;
}

int main(int argc, char** argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(USAGE, argc < 2 ? stderr : stdout);
        return argc < 2 ? EXIT_USAGE : EXIT_GOOD;
    }
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "create")
        return run_create(args);
    if (command == "info")
        return run_info(args);
    if (command == "verify")
        return run_verify(args);
    usage_error("unknown command '" + command + "' (create, info, verify; --help)");
    return EXIT_USAGE;
}

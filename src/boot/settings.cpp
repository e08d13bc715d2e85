// Boot settings from the U-Boot environment. The variable area is read
// as one line of text (NULs become blanks) and each key is found as a
// plain substring: its first occurrence counts, wherever it stands.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <vector>

#include "board/flash.h"
#include "boot/settings.h"

namespace {
constexpr int DEFAULT_GDBPORT = 1234;
} // namespace

int gdb_enable = 0;
int gdbserver_enable = 0;
int gdbport = DEFAULT_GDBPORT;
std::uint8_t shell_enable = 0;
std::uint8_t memchk_enable = 0;
int rescue_enable = 0;
int standalone_diags = 0;

void reset_boot_settings()
{
    gdb_enable = 0;
    gdbserver_enable = 0;
    gdbport = DEFAULT_GDBPORT;
    shell_enable = 0;
    memchk_enable = 0;
    rescue_enable = 0;
    standalone_diags = 0;
}

namespace {

// The variable area follows the 4-byte CRC word, which is not checked.
constexpr std::uint32_t ENV_CRC_SIZE = 4;
constexpr std::uint32_t ENV_AREA_SIZE = 8192;

// The text right after the first occurrence of key, if any.
std::optional<std::string_view> value_of(std::string_view text, std::string_view key)
{
    const auto pos = text.find(key);
    if (pos == std::string_view::npos)
        return std::nullopt;
    return text.substr(pos + key.size());
}

bool begins_with(std::string_view value, std::string_view prefix)
{
    return value.substr(0, prefix.size()) == prefix;
}

// Sets a flag from "on" at the start of the key's value; a missing key
// leaves the flag alone.
template <typename Flag> void set_on_flag(std::string_view text, std::string_view key, Flag& flag)
{
    if (const auto value = value_of(text, key))
        flag = begins_with(*value, "on") ? 1 : 0;
}

// A decimal number as "%d" reads it: leading white space, an optional
// sign, at least one digit. A number that does not fit an int is no number.
// The whole rest of the text is handed on: "%d" skips any run of blanks
// (empty variables, whose NULs became blanks) and any number of leading
// zeros, so no prefix length would be safe.
std::optional<int> leading_int(std::string_view value)
{
    const std::string text(value);
    const char* start = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*start)))
        ++start;
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(start, &end, 10);
    if (end == start || errno == ERANGE || n < INT_MIN || n > INT_MAX)
        return std::nullopt;
    return static_cast<int>(n);
}

void set_gdbport(std::string_view text)
{
    if (const auto value = value_of(text, "gdbport=")) {
        if (const auto port = leading_int(*value))
            gdbport = *port;
    }
}

void set_diagnostics(std::string_view text)
{
    if (const auto value = value_of(text, "diagnostics=")) {
        rescue_enable = begins_with(*value, "rescue") ? 1 : 0;
        standalone_diags = begins_with(*value, "diags") ? 1 : 0;
    }
}

} // namespace

void parse_env_area(const std::uint8_t* area, std::size_t size)
{
    std::string text(reinterpret_cast<const char*>(area), size);
    for (char& c : text) {
        if (c == '\0')
            c = ' ';
    }
    set_on_flag(text, "gdb=", gdb_enable);
    set_on_flag(text, "gdbserver=", gdbserver_enable);
    if (gdbserver_enable)
        gdb_enable = 1;
    set_gdbport(text);
    set_on_flag(text, "shell=", shell_enable);
    set_on_flag(text, "memchk=", memchk_enable);
    set_diagnostics(text);
}

void parse_uboot_env()
{
    std::vector<std::uint8_t> area(ENV_AREA_SIZE + 1, 0);
    if (api_flash_read(area.data(), uboot_env_fd, ENV_CRC_SIZE, ENV_AREA_SIZE) != 0)
        return;
    parse_env_area(area.data(), ENV_AREA_SIZE);
}

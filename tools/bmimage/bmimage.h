// bmimage: the firmware engineers' image tool (create, info, verify),
// built on the boot manager's own image format code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Exit statuses.
constexpr int EXIT_GOOD = 0;
constexpr int EXIT_BAD_IMAGE = 1;
constexpr int EXIT_USAGE = 2;

// One component of `create`, as the command line describes it.
struct component_request {
    bool raw = false; // --raw: the file's bytes as they are, no header
    std::uint32_t type = 0;
    std::string file;     // payload; empty: no payload
    std::uint32_t id = 0; // a.b.c.d
    bool extended = false;
    std::uint16_t header_size = 16;
    std::uint16_t bytes16 = 0;
    bool boot_copy = false; // header copy at payload byte 240
    // Deliberate faults, for tests.
    bool corrupt_crc = false;
    std::optional<std::uint32_t> crc;
    std::optional<std::uint32_t> len;
    std::optional<std::uint64_t> truncate;
};

int run_create(const std::vector<std::string>& args);
int run_info(const std::vector<std::string>& args);
int run_verify(const std::vector<std::string>& args);

// "bmimage: <text>" on standard error; gives EXIT_USAGE.
int usage_error(const std::string& text);
bool parse_number(const std::string& text, std::uint64_t max, std::uint64_t* value);
bool parse_version(const std::string& text, std::uint32_t* id);
std::string version_text(std::uint32_t id);
std::string type_name(std::uint32_t type);
bool parse_type(const std::string& text, std::uint32_t* type);

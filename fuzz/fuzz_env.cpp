// Fuzz target: the boot settings read from the U-Boot environment
// partition. The input is the partition's first bytes (CRC word, then the
// variable area; erased flash, 0xFF, after the input), read through the
// real flash layer by parse_uboot_env. The settings are then checked
// against what the C library's own string functions and "%d" make of the
// same text.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "board/flash.h"
#include "boot/settings.h"
#include "support.h"

namespace {

constexpr std::size_t CRC_WORD = 4;
constexpr std::size_t AREA = 8192;

// The partition behind uboot_env_fd, with a geometry that lets the flash
// layer read it (nothing here erases or writes).
scratch_file& partition()
{
    static scratch_file part("ubootenv");
    return part;
}

struct expected_settings {
    int gdb = 0, gdbserver = 0, port = 1234, shell = 0, memchk = 0, rescue = 0, diags = 0;
    bool port_checked = true;
};

// value of key in text (NUL-terminated), or null
const char* value_after(const char* text, const char* key)
{
    const char* at = std::strstr(text, key);
    return at ? at + std::strlen(key) : nullptr;
}

int flag_of(const char* text, const char* key, int current, const char* on = "on")
{
    const char* v = value_after(text, key);
    return v ? std::strncmp(v, on, std::strlen(on)) == 0 : current;
}

expected_settings expect(const std::uint8_t* area)
{
    std::vector<char> text(area, area + AREA);
    for (char& c : text)
        if (c == '\0')
            c = ' ';
    text.push_back('\0');
    const char* t = text.data();
    expected_settings e;
    e.gdb = flag_of(t, "gdb=", 0);
    e.gdbserver = flag_of(t, "gdbserver=", 0);
    if (e.gdbserver)
        e.gdb = 1;
    if (const char* v = value_after(t, "gdbport=")) {
        // "%d" on a number beyond int is undefined: such texts are not compared.
        char* end = nullptr;
        const long long wide = std::strtoll(v, &end, 10);
        int n = 0;
        if (end != v && (wide < INT_MIN || wide > INT_MAX || wide == LLONG_MAX || wide == LLONG_MIN))
            e.port_checked = false;
        else if (std::sscanf(v, "%d", &n) == 1)
            e.port = n;
    }
    e.shell = flag_of(t, "shell=", 0);
    e.memchk = flag_of(t, "memchk=", 0);
    e.rescue = flag_of(t, "diagnostics=", 0, "rescue");
    e.diags = flag_of(t, "diagnostics=", 0, "diags");
    return e;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> block(data, data + size);
    if (block.size() < CRC_WORD + AREA)
        block.resize(CRC_WORD + AREA, 0xFF);
    partition().refill(block);
    uboot_env_fd = partition().fd();
    theFlash = flash_device{"fuzz", 1, 0x20000, 17, 0x20000};
    reset_boot_settings();

    parse_uboot_env();

    const expected_settings e = expect(block.data() + CRC_WORD);
    fuzz_check(gdb_enable == e.gdb, "gdb_enable");
    fuzz_check(gdbserver_enable == e.gdbserver, "gdbserver_enable");
    fuzz_check(!e.port_checked || gdbport == e.port, "gdbport");
    fuzz_check(shell_enable == e.shell, "shell_enable");
    fuzz_check(memchk_enable == e.memchk, "memchk_enable");
    fuzz_check(rescue_enable == e.rescue, "rescue_enable");
    fuzz_check(standalone_diags == e.diags, "standalone_diags");
    fuzz_check(!(rescue_enable && standalone_diags), "rescue and diags both set");
    return 0;
}

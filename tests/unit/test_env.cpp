// The boot-settings parser on variable areas laid out as U-Boot stores
// them: NUL-terminated name=value texts, a closing NUL, then filler.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board/flash.h"
#include "boot/settings.h"

namespace {

// An 8192-byte area holding the variables, padded with 0xFF as erased flash.
std::vector<std::uint8_t> area_of(const std::vector<std::string>& vars)
{
    std::vector<std::uint8_t> area;
    for (const auto& v : vars) {
        area.insert(area.end(), v.begin(), v.end());
        area.push_back(0);
    }
    area.push_back(0);
    area.resize(8192, 0xFF);
    return area;
}

void parse(const std::vector<std::string>& vars)
{
    reset_boot_settings();
    const auto area = area_of(vars);
    parse_env_area(area.data(), area.size());
}

struct settings {
    int gdb, gdbserver, port, shell, memchk, rescue, diags;
    bool operator==(const settings&) const = default;
};

settings current()
{
    return {gdb_enable,    gdbserver_enable, gdbport,         shell_enable,
            memchk_enable, rescue_enable,    standalone_diags};
}

std::ostream& operator<<(std::ostream& os, const settings& s)
{
    return os << "gdb=" << s.gdb << " gdbserver=" << s.gdbserver << " port=" << s.port << " shell=" << s.shell
              << " memchk=" << s.memchk << " rescue=" << s.rescue << " diags=" << s.diags;
}

constexpr settings DEFAULTS{0, 0, 1234, 0, 0, 0, 0};

} // namespace

TEST(EnvParse, AreaWithoutAnyKeyKeepsDefaults)
{
    parse({"bootcmd=run boot_flash", "baudrate=9600", "ipaddr=192.0.2.10"});
    EXPECT_EQ(current(), DEFAULTS);
}

TEST(EnvParse, OnFlagsAndTheirNearMisses)
{
    parse({"gdb=on", "shell=online", "memchk=on"});
    EXPECT_EQ(current(), (settings{1, 0, 1234, 1, 1, 0, 0}));

    // Only the two lower-case letters o and n at the start mean on.
    for (const char* off : {"On", "yes", "1", "o", "", "ON", " on"}) {
        parse({std::string("shell=") + off, "memchk=" + std::string(off)});
        EXPECT_EQ(shell_enable, 0) << "value '" << off << "'";
        EXPECT_EQ(memchk_enable, 0) << "value '" << off << "'";
    }
}

TEST(EnvParse, ShortValueIsComparedAgainstTheBlankThatFollows)
{
    // "o" followed by the blank from the NUL and then "n..." of the next
    // variable must not read as on.
    parse({"shell=o", "nfsroot=x"});
    EXPECT_EQ(shell_enable, 0);
}

TEST(EnvParse, GdbserverForcesGdb)
{
    parse({"gdb=off", "gdbserver=on"});
    EXPECT_EQ(gdb_enable, 1);
    EXPECT_EQ(gdbserver_enable, 1);

    parse({"gdb=on", "gdbserver=off"});
    EXPECT_EQ(gdb_enable, 1) << "gdbserver off leaves gdb as gdb= set it";
    EXPECT_EQ(gdbserver_enable, 0);

    parse({"gdb=off", "gdbserver=no"});
    EXPECT_EQ(gdb_enable, 0);
}

TEST(EnvParse, GdbportIsReadAsDecimal)
{
    parse({"gdbport=2345"});
    EXPECT_EQ(gdbport, 2345);
    parse({"gdbport=abc"});
    EXPECT_EQ(gdbport, 1234);
    parse({"gdbport=  77x"});
    EXPECT_EQ(gdbport, 77) << "leading blanks skipped, digits up to the first non-digit";
    parse({"gdbport=-5"});
    EXPECT_EQ(gdbport, -5);
    parse({"gdbport=+9"});
    EXPECT_EQ(gdbport, 9);
    parse({"gdbport=99999999999999999999"});
    EXPECT_EQ(gdbport, 1234) << "a number beyond int is no number";
    parse({"gdbport="});
    EXPECT_EQ(gdbport, 1234);
}

TEST(EnvParse, GdbportOfEmptyValueReadsTheNextVariableLikePercentD)
{
    // The NUL became a blank, which %d skips; a following name that starts
    // with digits is then taken as the number.
    parse({"gdbport=", "42x=1"});
    EXPECT_EQ(gdbport, 42);
}

TEST(EnvParse, GdbportAfterLongBlankRunOrLeadingZerosLikePercentD)
{
    // Empty variables between the key and the digits: every NUL is a blank.
    parse({"gdbport=", "", std::string(90, ' ') + "-2x=1"});
    EXPECT_EQ(gdbport, -2);
    parse({"gdbport=" + std::string(100, '0') + "2345"});
    EXPECT_EQ(gdbport, 2345);
}

TEST(EnvParse, DiagnosticsSetsAtMostOneFlag)
{
    parse({"diagnostics=rescue"});
    EXPECT_EQ(current(), (settings{0, 0, 1234, 0, 0, 1, 0}));
    parse({"diagnostics=diags"});
    EXPECT_EQ(current(), (settings{0, 0, 1234, 0, 0, 0, 1}));
    parse({"diagnostics=rescuemode"});
    EXPECT_EQ(rescue_enable, 1);
    parse({"diagnostics=diagsonly"});
    EXPECT_EQ(standalone_diags, 1);
    for (const char* v : {"reboot", "off", "Rescue", "rescu", "diag", ""}) {
        parse({std::string("diagnostics=") + v});
        EXPECT_EQ(rescue_enable, 0) << v;
        EXPECT_EQ(standalone_diags, 0) << v;
    }
}

TEST(EnvParse, FirstOccurrenceOfKeyTextWins)
{
    // A name that merely ends in the key counts, and so does key text
    // inside another variable's value.
    parse({"mygdb=on", "gdb=off"});
    EXPECT_EQ(gdb_enable, 1);
    parse({"bootargs=console=ttyS0 shell=on", "shell=off"});
    EXPECT_EQ(shell_enable, 1);
    parse({"xdiagnostics=diags", "diagnostics=rescue"});
    EXPECT_EQ(current(), (settings{0, 0, 1234, 0, 0, 0, 1}));
    parse({"mygdbport=1", "gdbport=2"});
    EXPECT_EQ(gdbport, 1);
}

TEST(EnvParse, KeyMissingLeavesEarlierValue)
{
    reset_boot_settings();
    gdbport = 4000;
    shell_enable = 1;
    const auto area = area_of({"gdb=on"});
    parse_env_area(area.data(), area.size());
    EXPECT_EQ(gdbport, 4000);
    EXPECT_EQ(shell_enable, 1);
    EXPECT_EQ(gdb_enable, 1);
}

TEST(EnvParse, AreaWithoutNulIsOneText)
{
    // Filled to the last byte with no terminator at all: the key at the
    // very end is still found and its value runs to the end of the area.
    std::string text(8192 - 9, 'x');
    text += "shell=on";
    text += "d";
    ASSERT_EQ(text.size(), 8192u);
    reset_boot_settings();
    parse_env_area(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    EXPECT_EQ(shell_enable, 1);

    // A key whose value is cut off by the end of the area compares short.
    std::string cut(8192 - 7, 'x');
    cut += "shell=o";
    ASSERT_EQ(cut.size(), 8192u);
    reset_boot_settings();
    parse_env_area(reinterpret_cast<const std::uint8_t*>(cut.data()), cut.size());
    EXPECT_EQ(shell_enable, 0);
}

TEST(EnvParse, BytesAfterTheAreaAreNotRead)
{
    // Only the given size counts: a key just past it is not seen.
    auto area = area_of({"baudrate=9600"});
    const std::string tail = "shell=on";
    area.insert(area.end(), tail.begin(), tail.end());
    reset_boot_settings();
    parse_env_area(area.data(), 8192);
    EXPECT_EQ(shell_enable, 0);
}

TEST(EnvRead, WithoutFlashEverySettingKeepsItsDefault)
{
    reset_boot_settings();
    theFlash.size = 0;
    parse_uboot_env();
    EXPECT_EQ(current(), DEFAULTS);
}

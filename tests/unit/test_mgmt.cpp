// The management-port and MAC-address questions on a console whose input
// ends: the question ends as its quit answer does, whatever was typed, and
// is asked once. Answers that would run ifconfig are not given here: those
// runs belong on the simulated board.
#include "net/mgmt.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>

#include "console_capture.h"

namespace {

std::size_t count(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

TEST(AddressQuestion, AcceptsRefusesAndQuits)
{
    std::uint32_t addr = 0;
    auto run = run_on_console("300.1.1.1\r0.0.0.0\r192.0.2.7\r", [&] {
        const int r = get_ip_addr("IP addr    :", &addr, 1, 1);
        return r == 1 && addr == inet_addr("192.0.2.7") ? 1 : 0;
    });
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(count(run.output, "IP addr    :"), 3u);
    EXPECT_EQ(count(run.output, "Invalid IP address"), 2u);

    run = run_on_console("Q\r", [&] { return get_ip_addr("Server addr:", &addr, 1, 1); });
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.result, 0);
    // An optional question takes the empty answer.
    run = run_on_console("\r", [&] { return get_ip_addr("Gateway    :", &addr, 0, 1); });
    EXPECT_EQ(run.result, 1);
}

TEST(AddressQuestion, EndOfInputQuitsEvenAnOptionalOneOrAHalfTypedAddress)
{
    for (const std::string input : {"", "192.0.2", "192.0.2.7", "x\r"}) {
        for (const std::uint8_t required : {1, 0}) {
            std::uint32_t addr = 0x01020304;
            const auto run = run_on_console(input, [&] {
                const int r = get_ip_addr("Netmask    :", &addr, required, 0);
                return r == 0 && addr == 0x01020304 ? 0 : 1;
            });
            ASSERT_TRUE(run.finished) << "asked for ever after '" << input << "'";
            EXPECT_EQ(run.result, 0) << "input '" << input << "' required " << int(required);
            EXPECT_EQ(count(run.output, "Netmask    :"), input == "x\r" ? 2u : 1u) << run.output;
        }
    }
}

TEST(AddressQuestion, StaticSettingsStopAtTheQuestionWhereInputEnds)
{
    char port = '0';
    std::uint8_t dhcp = 1;
    std::uint32_t ip = 0, netmask = 0, gateway = 0;
    const auto run = run_on_console("192.0.2.10\r255.255.255.0\r", [&] {
        return mgmt_port_params(&port, &dhcp, &ip, &netmask, &gateway, 0);
    });
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(count(run.output, "Gateway    :"), 1u);
}

TEST(MacQuestion, EndOfInputQuitsWithoutRunningAnything)
{
    for (const std::string input : {"", "00:11:22", "zz\r"}) {
        const auto run = run_on_console(input, [] { return run_mac_config(); });
        ASSERT_TRUE(run.finished) << "asked for ever after '" << input << "'";
        EXPECT_EQ(run.result, 0);
        const std::size_t prompts = count(run.output, "MAC address (format nn:nn:nn:nn:nn:nn): ");
        EXPECT_EQ(prompts, input == "zz\r" ? 2u : 1u) << run.output;
    }
}

} // namespace

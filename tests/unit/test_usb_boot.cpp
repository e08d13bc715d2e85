// The USB boot's yes/no question: which bytes answer, the prompt repeated
// after every other byte, and end of input taken as no at once.
#include "boot/usb_boot.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "console_capture.h"

namespace {

// Only lower-case y and n answer, at once; every other byte (a line end
// too) asks again; the end of input counts as no, said at once.
struct yes_no_case {
    const char* input;
    int result;
    const char* shown;
};

const yes_no_case YES_NO_CASES[] = {
    {"y\n", 1, "Load it? (y/n) "},
    {"n\n", 0, "Load it? (y/n) "},
    {"yes\n", 1, "Load it? (y/n) "},
    {"Y\nN\nn\n", 0, "Load it? (y/n) (y/n) (y/n) (y/n) (y/n) "},
    {"x y", 1, "Load it? (y/n) (y/n) (y/n) "},
    {"", 0, "Load it? (y/n) \nConsole input has ended. Assuming \"no\".\n"},
    {"Q\n", 0, "Load it? (y/n) (y/n) (y/n) \nConsole input has ended. Assuming \"no\".\n"},
};

TEST(YesNoQuestion, AnswersRepeatsAndEndOfInput)
{
    for (const yes_no_case& c : YES_NO_CASES) {
        console_capture console(c.input);
        const int result = yesno_question("Load it? ");
        EXPECT_EQ(result, c.result) << "input '" << c.input << "'";
        EXPECT_EQ(console.output(), c.shown) << "input '" << c.input << "'";
    }
}

TEST(YesNoQuestion, QuestionIsNotTakenAsAFormat)
{
    console_capture console("y");
    EXPECT_EQ(yesno_question("100% %s %n sure? "), 1);
    EXPECT_EQ(console.output(), "100% %s %n sure? (y/n) ");
}

} // namespace

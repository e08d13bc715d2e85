// The USB boot's yes/no question: which bytes answer, the prompt repeated
// after every other byte, and end of input taken as no.
#include "boot/usb_boot.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Descriptor 0 reads the given input from a pipe (then end of file) and
// standard output goes to a temporary file, for one call.
struct console_capture {
    int saved_in = -1;
    int saved_out = -1;
    std::FILE* out = nullptr;

    explicit console_capture(const std::string& input)
    {
        std::fflush(stdout);
        saved_in = ::dup(0);
        saved_out = ::dup(1);
        int p[2];
        if (::pipe(p) != 0)
            std::abort();
        if (::write(p[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
            std::abort();
        ::close(p[1]);
        ::dup2(p[0], 0);
        ::close(p[0]);
        out = std::tmpfile();
        ::dup2(::fileno(out), 1);
    }
    std::string finish()
    {
        std::fflush(stdout);
        ::dup2(saved_in, 0);
        ::dup2(saved_out, 1);
        ::close(saved_in);
        ::close(saved_out);
        std::string text;
        std::rewind(out);
        for (int c; (c = std::fgetc(out)) != EOF;)
            text.push_back(static_cast<char>(c));
        std::fclose(out);
        return text;
    }
};

struct answer {
    int result;
    std::string text;
};

answer ask(const std::string& input)
{
    console_capture cap(input);
    const int r = yesno_question("Load it? ");
    return {r, cap.finish()};
}

TEST(YesNoQuestion, LowerCaseLettersAnswerAtOnce)
{
    EXPECT_EQ(ask("y\n").result, 1);
    EXPECT_EQ(ask("n\n").result, 0);
    const answer yes = ask("yes\n");
    EXPECT_EQ(yes.result, 1);
    EXPECT_EQ(yes.text, "Load it? (y/n) ");
}

TEST(YesNoQuestion, EveryOtherByteAsksAgain)
{
    // Y, line end, N, line end are all refused: four repeats of the prompt.
    const answer a = ask("Y\nN\nn\n");
    EXPECT_EQ(a.result, 0);
    EXPECT_EQ(a.text, "Load it? (y/n) (y/n) (y/n) (y/n) (y/n) ");
    const answer b = ask("x y");
    EXPECT_EQ(b.result, 1);
    EXPECT_EQ(b.text, "Load it? (y/n) (y/n) (y/n) ");
}

TEST(YesNoQuestion, EndOfInputCountsAsNoAtOnceInsteadOfAskingForEver)
{
    const answer a = ask("");
    EXPECT_EQ(a.result, 0);
    EXPECT_EQ(a.text, "Load it? (y/n) \nConsole input has ended. Assuming \"no\".\n");
    const answer b = ask("Q\n");
    EXPECT_EQ(b.result, 0);
    EXPECT_EQ(b.text, "Load it? (y/n) (y/n) (y/n) \nConsole input has ended. Assuming \"no\".\n");
}

TEST(YesNoQuestion, QuestionIsNotTakenAsAFormat)
{
    console_capture cap("y");
    EXPECT_EQ(yesno_question("100% %s %n sure? "), 1);
    EXPECT_EQ(cap.finish(), "100% %s %n sure? (y/n) ");
}

} // namespace

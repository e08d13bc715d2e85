// The console of a unit test: standard input reading given keys (then end
// of file) and standard output captured, in the test's own process or in a
// child that is ended when it runs too long (a question asking for ever).
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// Descriptor 0 reads `input` from a pipe, then end of file; descriptor 1
// goes to a temporary file. output() restores both and gives what was
// printed; the destructor restores them when output() was not called.
class console_capture {
  public:
    explicit console_capture(const std::string& input)
    {
        std::fflush(stdout);
        saved_in_ = ::dup(0);
        saved_out_ = ::dup(1);
        int p[2];
        if (::pipe(p) != 0)
            std::abort();
        if (::write(p[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
            std::abort();
        ::close(p[1]);
        ::dup2(p[0], 0);
        ::close(p[0]);
        std::clearerr(stdin);
        out_ = std::tmpfile();
        ::dup2(::fileno(out_), 1);
    }
    ~console_capture() { restore(); }
    console_capture(const console_capture&) = delete;
    console_capture& operator=(const console_capture&) = delete;

    std::string output()
    {
        restore();
        std::string text;
        std::rewind(out_);
        for (int c; (c = std::fgetc(out_)) != EOF;)
            text.push_back(static_cast<char>(c));
        return text;
    }

  private:
    void restore()
    {
        if (saved_in_ < 0)
            return;
        std::fflush(stdout);
        std::clearerr(stdin);
        ::dup2(saved_in_, 0);
        ::dup2(saved_out_, 1);
        ::close(saved_in_);
        ::close(saved_out_);
        saved_in_ = saved_out_ = -1;
    }

    int saved_in_ = -1;
    int saved_out_ = -1;
    std::FILE* out_ = nullptr;
};

// What fn() printed on standard output (the input left as it is).
template <typename F> std::string stdout_of(F&& fn)
{
    testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// What a question gave and printed when run on a console of its own.
struct console_run {
    int result = -1;
    std::string output;
    bool finished = false; // false: it was still asking after the time limit
};

// Runs fn() (giving an int from 0 to 255) in a child process on a console
// reading `input`; the child is ended after `seconds`.
template <typename F> console_run run_on_console(const std::string& input, F&& fn, unsigned seconds = 3)
{
    std::FILE* out = std::tmpfile();
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(seconds);
        console_capture console(input);
        const int result = fn();
        const std::string text = console.output();
        std::fwrite(text.data(), 1, text.size(), out);
        std::fflush(out);
        ::_exit(result & 0xFF);
    }
    console_run run;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        run.finished = true;
        run.result = WEXITSTATUS(status);
    }
    std::rewind(out);
    for (int c; (c = std::fgetc(out)) != EOF;)
        run.output.push_back(static_cast<char>(c));
    std::fclose(out);
    return run;
}

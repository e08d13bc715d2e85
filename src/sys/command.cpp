#include "sys/command.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

std::string vstrprintf(const char* fmt, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    const int needed = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (needed <= 0)
        return {};
    std::string out(static_cast<std::size_t>(needed), '\0');
    std::vsnprintf(out.data(), out.size() + 1, fmt, ap);
    return out;
}

std::string strprintf(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string out = vstrprintf(fmt, ap);
    va_end(ap);
    return out;
}

int run_command(const std::string& command_line)
{
    std::fflush(stdout);
    std::fflush(stderr);
    return std::system(command_line.c_str());
}

std::string shell_quote(std::string_view text)
{
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

bool path_exists(const char* path)
{
    struct stat st {};
    return ::stat(path, &st) == 0;
}

// Running command lines through the shell, the one way the boot manager
// hands work to the tools of the root file system.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

// Formats like printf into a std::string of whatever length the result needs.
std::string strprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vstrprintf(const char* fmt, va_list ap);

// Flushes standard output and standard error (so the console shows our
// messages before the command's), then runs the line with system(3).
// Returns system's result; callers ignore it except where noted.
int run_command(const std::string& command_line);

// Quotes a text as one shell word: 'text' with every ' written as '\''.
// Used for every operator- or file-supplied text placed on a command line.
std::string shell_quote(std::string_view text);

// True when the path exists (stat succeeds).
bool path_exists(const char* path);

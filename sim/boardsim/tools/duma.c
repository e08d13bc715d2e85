/* Stand-in for the DUMA memory checker: a real shared library whose only
 * work is to record, in the board's tools log, each program that loads it. */
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

/* Where the record goes: the simulated board's tools log, unless the build
 * names another file (the virtual board keeps it in /tmp). */
#ifndef DUMA_LOG_PATH
#define DUMA_LOG_PATH "/.boardsim/log/tools.log"
#endif

__attribute__((constructor)) static void duma_loaded(void)
{
    char line[600] = "duma";
    size_t len = strlen(line);
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t n = read(fd, line + len + 1, sizeof line - len - 3);
        close(fd);
        if (n > 0) {
            line[len] = ' ';
            for (ssize_t i = 0; i < n; ++i)
                if (line[len + 1 + i] == '\0')
                    line[len + 1 + i] = ' ';
            len += 1 + (size_t)n;
            while (len > 4 && line[len - 1] == ' ')
                --len;
        }
    }
    line[len++] = '\n';
    fd = open(DUMA_LOG_PATH, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t ignored = write(fd, line, len);
        (void)ignored;
        close(fd);
    }
}

/* The application of the debugging scenarios on the virtual board, packed
 * as home/bin/mp.elf.strip: it prints a start marker, calls work(), where a
 * debugger stops and reads `doubled`, and, when its environment holds
 * DEBUG_APP_OVERRUN=1 (set through env-setup), writes one byte past the end
 * of a 16-byte heap buffer. Built without optimisation and with debug
 * information; the board gets a stripped copy, the debugger the original. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { BUFFER_SIZE = 16 };

int work(int n);
void overrun(size_t size);

int work(int n)
{
    int doubled = n * 2;
    printf("debug-app: work(%d) = %d\n", n, doubled);
    return doubled;
}

void overrun(size_t size)
{
    char *buffer = malloc(size);
    if (buffer == NULL) {
        perror("malloc");
        return;
    }
    memset(buffer, 'a', size);
    printf("debug-app: writing byte %zu of a %zu-byte buffer\n", size, size);
    fflush(stdout);
    buffer[size] = 'x'; /* one byte past the end */
    printf("debug-app: the overrun went unnoticed\n");
    free(buffer);
}

int main(void)
{
    const char *ask = getenv("DEBUG_APP_OVERRUN");
    printf("debug-app: started\n");
    fflush(stdout);
    work(21);
    if (ask != NULL && strcmp(ask, "1") == 0)
        overrun(BUFFER_SIZE);
    printf("debug-app: finished\n");
    return 0;
}

// Serial download: the console port's download mode and an in-process
// Xmodem-1K receiver.
#pragma once

#include <termios.h>

extern struct termios oldtty;

int init_serial();
void reset_serial(int fd);
int Xmodem1K(const char* path);

// Byte-level primitives of the serial-download module, shared by the port
// control (serial.cpp) and the Xmodem-1K receiver (xmodem.cpp) only.
//
// The port descriptor comes from init_serial(), which opens the port
// non-blocking: a read returns at once when nothing is waiting, so every
// wait here is built by polling.
#pragma once

// Sends one byte; the result of write(2) of that byte.
int putByte(unsigned char c, int fd);

// Waits up to timeout seconds for one byte, polling once a millisecond.
// 1 with the byte stored in *c; -1 on time-out, *c then left unchanged.
// A time-out of 0 returns -1 at once without reading.
int getByte(unsigned int timeout, unsigned char* c, int fd);

// Discards every byte already waiting on the port.
void flushRX(int fd);

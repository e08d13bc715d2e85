// Byte-level primitives of the serial-download module, shared by the port
// control (serial.cpp) and the Xmodem-1K receiver (xmodem.cpp) only.
//
// The port descriptor comes from init_serial(), which opens the port
// non-blocking. Input is read ahead into one module buffer, as much as is
// waiting at a time; every wait is a poll() for the time left. The
// descriptor may also be blocking (a pipe or socket standing in for the
// port): it is only read once poll() says there is something. End of input
// (a read of 0 bytes) or a port that cannot be read any more makes every
// later wait end at once, as though its time had run out.
#pragma once

#include <span>

// Sends one byte; the result of write(2) of that byte.
int putByte(unsigned char c, int fd);

// Waits up to timeout seconds for one byte.
// 1 with the byte stored in *c; -1 on time-out, *c then left unchanged.
// A time-out of 0 returns -1 at once without reading.
int getByte(unsigned int timeout, unsigned char* c, int fd);

// Waits up to timeout seconds for at least one byte, then hands out as many
// of those already read as fit into dest, without waiting for more. The
// number stored, or -1 on time-out (and for a time-out of 0 or no room).
int getBytes(unsigned int timeout, std::span<unsigned char> dest, int fd);

// Discards every byte already waiting on the port, read ahead or not.
void flushRX(int fd);

// True once the input of fd has ended (or cannot be read) and every byte
// read before has been handed out.
bool port_input_ended(int fd);

// Drops what was read ahead and the end-of-input mark, and ties the buffer
// to fd: for a port just opened or flushed, and a reception starting anew.
void forget_port_input(int fd);

/*
 * What a host of the packaged DLL does against one ZRV device: opens COMn, reads
 * the status byte, writes a record, reads it back and closes the port, letting
 * its thread retrieve sent messages after every call. One line of output a step,
 * in the end-to-end host's words:
 *
 *   init 1 / status 0 S / write 0 / read 0 HEX60 / deinit 1
 *
 * Two hosts share it: one built in Visual Studio mode with no C runtime
 * (msvc_host.c) and one built with MinGW through the CMake package
 * (cmake_host/). It uses nothing but kwelmora.h and two system calls, so that it
 * builds in both.
 */
#ifndef KWELMORA_TESTS_PACKAGE_HOST_SEQUENCE_H
#define KWELMORA_TESTS_PACKAGE_HOST_SEQUENCE_H

/* Writes one line of output; the line has no line break of its own. */
typedef void (*HostEmit)(const char* line);

/*
 * port: 0..255 in decimal; address: 1..931 in decimal; record_hex: the 30 bytes
 * to write as 60 hex digits. Answers the exit status: 0 when every step answered
 * as it should and the record read back equals the one written, 1 when a step
 * did not, 2 when an argument is malformed (then nothing is called).
 */
int RunHostSequence(const char* port, const char* address, const char* record_hex, HostEmit emit);

#endif /* KWELMORA_TESTS_PACKAGE_HOST_SEQUENCE_H */

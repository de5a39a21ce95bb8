/*
 * kwelmora.h - host interface of Kwelmora.dll, the link to one ZRV device on a
 * serial (COM) port.
 *
 * For C and C++ hosts, 32- and 64-bit. Link with the import library of the host's
 * toolchain and bitness (Kwelmora.lib for Visual Studio, libKwelmora.dll.a for
 * MinGW; with CMake, find_package(Kwelmora CONFIG) and Kwelmora::Kwelmora), or
 * load Kwelmora.dll and look the exports up by name or ordinal.
 *
 * Every export uses the standard Windows calling convention and returns an 8-bit
 * value. The port functions answer a Boolean (non-zero for success); the transfer
 * functions answer one of the KWELMORA_* result codes below.
 *
 * The host makes one call at a time. The thread that opens the port receives
 * that opening's line events, which are handled whenever that thread retrieves
 * sent window messages (a message loop, PeekMessage, ...).
 *
 * After a line error (parity, framing, overrun, break) the serial driver refuses
 * every request on the port until the opening thread has handled the error.
 * Meanwhile a transfer function answers KWELMORA_NO_DEVICE (the presence check
 * cannot read the modem lines), KWELMORA_SEND_FAILED or KWELMORA_RECEIVE_FAILED,
 * by the step that met the error. Remedy: let the opening thread retrieve its
 * messages, then call again.
 */
#ifndef KWELMORA_H
#define KWELMORA_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(KWELMORA_BUILDING_LIBRARY)
#define KWELMORA_API
#else
#define KWELMORA_API __declspec(dllimport)
#endif

#define KWELMORA_CALL __stdcall

/* Result codes of the transfer functions. */
#define KWELMORA_OK 0               /* the transaction completed */
#define KWELMORA_NOT_INITIALIZED 1  /* the port has not been opened successfully */
#define KWELMORA_NO_DEVICE 2        /* presence check failed (no device, port closed, ...) */
#define KWELMORA_SEND_FAILED 3      /* a byte could not be sent (or a line error) */
#define KWELMORA_RECEIVE_FAILED 4   /* a byte did not arrive within the read time-out */
#define KWELMORA_COMMAND_REFUSED 5  /* NAK to the command or to a request for the next byte */
#define KWELMORA_LOCATION_REFUSED 6 /* NAK to the location block */
#define KWELMORA_RECORD_REFUSED 7   /* NAK to the 30 bytes of a record written */
#define KWELMORA_BAD_REPLY 8        /* a reply that was neither ACK nor NAK */
#define KWELMORA_INVALID_ARGUMENT 9 /* address outside 1..931, or a null pointer */

/* Records and their locations. */
#define KWELMORA_RECORD_SIZE 30
#define KWELMORA_FIRST_ADDRESS 1
#define KWELMORA_LAST_ADDRESS 931

/*
 * Opens COM<portNumber> (19200 baud, 8 data bits, one stop bit, one-second
 * time-outs) for the device. Non-zero when the port is open and ready. Fails while
 * the port is already open: close it first.
 */
KWELMORA_API unsigned char KWELMORA_CALL ZainicjowanoPortSzeregowyDlaZRV(unsigned char portNumber);

/*
 * Closes the port. Non-zero when it was closed or there was nothing to close.
 * May be called from any thread; when the opening thread does not retrieve its
 * messages meanwhile, a line event still waiting for it is dropped after two
 * seconds, so that the close returns.
 */
KWELMORA_API unsigned char KWELMORA_CALL OdinicjowanoPortSzeregowyDlaZRV(void);

/*
 * Reads the device's status byte into *status (written only on success).
 * KWELMORA_OK, or KWELMORA_NOT_INITIALIZED .. KWELMORA_RECEIVE_FAILED;
 * KWELMORA_INVALID_ARGUMENT for a null pointer.
 */
KWELMORA_API unsigned char KWELMORA_CALL OdczytanieBajtuStatusuZRV(unsigned char* status);

/*
 * Reads the 30-byte record at `address` (1..931) into buffer[0..29]. A read that
 * fails part-way leaves the bytes received so far in the buffer.
 */
KWELMORA_API unsigned char KWELMORA_CALL OdczytanieBajtowZZRV(unsigned short address,
                                                              unsigned char* buffer);

/* Writes the 30 bytes at `data` to the record at `address` (1..931). */
KWELMORA_API unsigned char KWELMORA_CALL ZapisanieBajtowDoZRV(unsigned short address,
                                                              const unsigned char* data);

#ifdef __cplusplus
}
#endif

#endif /* KWELMORA_H */

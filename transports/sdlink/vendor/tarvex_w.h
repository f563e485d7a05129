/* The SD-card vendor library Tarvex_W, as sdlink calls it: list the SD-card tokens, open one,
 * exchange one command, close it. Any library that exports these four functions under these
 * names, with this calling convention, serves sdlink; this tree builds a stand-in of its own
 * (transports/standins) whose cards are virtual tokens on loopback TCP.
 *
 * Calling convention: __stdcall on Windows (undecorated export names on 32-bit Windows), the
 * platform's C convention elsewhere. Results are 0 on success or one of the error codes below. */
#ifndef SDLINK_VENDOR_TARVEX_W_H
#define SDLINK_VENDOR_TARVEX_W_H

#include <stdint.h>

#if defined(_WIN32)
#define SDSC_CALL __stdcall
#define SDSC_EXPORT __declspec(dllexport)
#define SDSC_IMPORT __declspec(dllimport)
#else
#define SDSC_CALL
#define SDSC_EXPORT __attribute__((visibility("default")))
#define SDSC_IMPORT
#endif

#ifdef BUILDING_TARVEX_W
#define SDSC_API SDSC_EXPORT
#else
#define SDSC_API SDSC_IMPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes. */
#define SDSC_E_PARAMETER ((int32_t)0xE000B001)  /* a null or out-of-range argument */
#define SDSC_E_NO_DEVICE ((int32_t)0xE000B002)  /* no such card, or it cannot be opened */
#define SDSC_E_BUFFER ((int32_t)0xE000B003)     /* the caller's buffer cannot hold the result */
#define SDSC_E_REMOVED ((int32_t)0xE000B004)    /* the card went away; the handle is dead */
#define SDSC_E_PROTOCOL ((int32_t)0xE000B005)   /* the card answered something unusable */
#define SDSC_E_TIMEOUT ((int32_t)0xE000B006)    /* the card did not answer in time; dead too */
#define SDSC_E_BAD_HANDLE ((int32_t)0xE000B007) /* not a handle this library handed out */

/* Fills `list` with the names of the cards present, each ended by a zero byte.
 * listSize: in, the capacity of `list`; out, the bytes used. count: out, the number of names. */
SDSC_API int32_t SDSC_CALL SDSCListDevs(char* list, uint32_t* listSize, uint32_t* count);

/* Opens the card of that name; *device receives its handle. */
SDSC_API int32_t SDSC_CALL SDSCConnectDev(const char* name, void** device);

/* Sends one command and receives the answer: reply data into `reply` (replyLength: in, its
 * capacity; out, the data bytes received) and the status word (first byte x 256 + second)
 * into *status. `mode` is 0. */
SDSC_API int32_t SDSC_CALL SDSCTransmit(void* device, const uint8_t* command,
                                        uint32_t commandLength, uint32_t mode, uint8_t* reply,
                                        uint32_t* replyLength, uint32_t* status);

/* Closes the card and frees the handle. */
SDSC_API int32_t SDSC_CALL SDSCDisconnectDev(void* device);

#ifdef __cplusplus
}
#endif

#endif

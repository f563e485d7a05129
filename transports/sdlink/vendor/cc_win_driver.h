/* The card-driver library CCWinDriver, as sdlink calls it: one export hands out a table of six
 * driver operations. Any library that exports CC_GetDriveMethA with this table and calling
 * convention serves sdlink; this tree builds a stand-in of its own (transports/standins).
 *
 * The table belongs to the library and stays valid while it is loaded. Results are 0 on
 * success or one of the error codes below; the receive operation answers CC_E_NOT_READY or
 * CC_E_BUSY while no complete reply is there yet, and the caller asks again. */
#ifndef SDLINK_VENDOR_CC_WIN_DRIVER_H
#define SDLINK_VENDOR_CC_WIN_DRIVER_H

#include <stdint.h>

#if defined(_WIN32)
#define CC_CALL __stdcall
#define CC_EXPORT __declspec(dllexport)
#define CC_IMPORT __declspec(dllimport)
#else
#define CC_CALL
#define CC_EXPORT __attribute__((visibility("default")))
#define CC_IMPORT
#endif

#ifdef BUILDING_CCWINDRIVER
#define CC_API CC_EXPORT
#else
#define CC_API CC_IMPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The marker file by which the driver recognises an SD card that holds a token. */
#define CC_MARKER_FILE "TARVEXSD.RO"

#define CC_E_NO_CARD ((int32_t)0xE000A001)    /* no token card (marker missing, name unknown) */
#define CC_E_PARAMETER ((int32_t)0xE000A002)  /* a null or out-of-range argument */
#define CC_E_NOT_READY ((int32_t)0xE000A003)  /* no reply yet: ask again after a pause */
#define CC_E_BUSY ((int32_t)0xE000A004)       /* a reply is arriving: ask again at once */
#define CC_E_REMOVED ((int32_t)0xE000A005)    /* the card went away; the handle is dead */
#define CC_E_BUFFER ((int32_t)0xE000A006)     /* the caller's buffer cannot hold the reply */
#define CC_E_PROTOCOL ((int32_t)0xE000A007)   /* the card answered something unusable */
#define CC_E_BAD_HANDLE ((int32_t)0xE000A008) /* not a handle this library handed out */

/* Slot order of the table. */
typedef struct CCDriveMeth {
    /* 0: looks for the card that carries the marker file of that name. */
    int32_t(CC_CALL* identify)(const char* markerFile);
    /* 1: opens the device of that name (`reserved` is 0). */
    int32_t(CC_CALL* open)(const char* name, uint32_t reserved, void** device);
    /* 2: closes it. */
    int32_t(CC_CALL* close)(void* device);
    /* 3: takes the reply when one is there: data and status bytes; length: in, the capacity of
     * `reply`; out, the bytes received. */
    int32_t(CC_CALL* receive)(void* device, uint8_t* reply, uint32_t* length);
    /* 4: sends one command. */
    int32_t(CC_CALL* send)(void* device, const uint8_t* command, uint32_t length);
    /* 5: lists the devices: *list receives the library's list, each name followed by a zero
     * byte and one more byte; *length its size in bytes (`reserved` is 0). */
    int32_t(CC_CALL* list)(char** list, uint32_t* length, uint32_t reserved);
} CCDriveMeth;

/* Hands out the operations table. */
CC_API int32_t CC_CALL CC_GetDriveMethA(CCDriveMeth** methods);

#ifdef __cplusplus
}
#endif

#endif

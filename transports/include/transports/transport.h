/* The contract that every transport library keeps: four operations, the same result
 * conventions, and a handle whose first byte names the library that made it, so that the
 * key API can route a handle it knows nothing else about. */
#ifndef TRANSPORTS_TRANSPORT_H
#define TRANSPORTS_TRANSPORT_H

#include <stdint.h>

#if defined(_WIN32)
#define TRANSPORT_CALL __stdcall
#else
#define TRANSPORT_CALL
#endif

#if defined(_WIN32)
#define TRANSPORT_IMPORT __declspec(dllimport)
#define TRANSPORT_EXPORT __declspec(dllexport)
#else
#define TRANSPORT_IMPORT __attribute__((visibility("default")))
#define TRANSPORT_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Handle tags. */
#define TRANSPORT_TAG_PCSC 'C'
#define TRANSPORT_TAG_DRIVER 'D'
#define TRANSPORT_TAG_DISK 'H'
#define TRANSPORT_TAG_SD 'M'

/* Result of DoCommand when the device went away during the exchange. */
#define TRANSPORT_DEVICE_LOST 0x10001

/* Size of the identification buffer that callers of Connect pass (zero-filled). */
#define TRANSPORT_ID_BUFFER_SIZE 260

/* Allocated by Connect, freed by Disconnect. `tag` must stay the first member. */
typedef struct TransportHandle {
    char tag;
    uintptr_t connection; /* native connection: card handle, file handle, device handle */
    void* lock;           /* per-device lock (owned by the library), or the device handle */
} TransportHandle;

/* One declaration set per library; each library defines its own with TRANSPORT_API set to
 * TRANSPORT_EXPORT while it is being built. */
#define TRANSPORT_DECLARE(PREFIX, API)                                                        \
    API int32_t TRANSPORT_CALL PREFIX##EnumDEV(int32_t* count);                               \
    API int32_t TRANSPORT_CALL PREFIX##Connect(TransportHandle** handle, char* identification, \
                                               int32_t index);                                \
    API int32_t TRANSPORT_CALL PREFIX##Disconnect(TransportHandle* handle);                   \
    API int32_t TRANSPORT_CALL PREFIX##DoCommand(TransportHandle* handle,                      \
                                                 const uint8_t* command, int32_t commandLength, \
                                                 uint8_t* reply, int32_t* replyLength);

#ifdef BUILDING_PCSCLINK
TRANSPORT_DECLARE(CKEY_, TRANSPORT_EXPORT)
#else
TRANSPORT_DECLARE(CKEY_, TRANSPORT_IMPORT)
#endif
#ifdef BUILDING_DRVLINK
TRANSPORT_DECLARE(NDKEY_, TRANSPORT_EXPORT)
#else
TRANSPORT_DECLARE(NDKEY_, TRANSPORT_IMPORT)
#endif
#ifdef BUILDING_DISKLINK
TRANSPORT_DECLARE(HKEY_, TRANSPORT_EXPORT)
#else
TRANSPORT_DECLARE(HKEY_, TRANSPORT_IMPORT)
#endif
#ifdef BUILDING_SDLINK
TRANSPORT_DECLARE(MDKEY_, TRANSPORT_EXPORT)
#else
TRANSPORT_DECLARE(MDKEY_, TRANSPORT_IMPORT)
#endif

#ifdef __cplusplus
}
#endif

#endif

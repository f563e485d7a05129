// PLACEHOLDER, to be replaced by the real transport for the disk-class token, reached through the
// key service. Until then it offers no devices, so the key API counts none on this transport, and
// it refuses every handle: none of its own can exist.
#include "transports/transport.h"

extern "C" {

TRANSPORT_EXPORT int32_t TRANSPORT_CALL HKEY_EnumDEV(int32_t* count) {
    return -1;
}

TRANSPORT_EXPORT int32_t TRANSPORT_CALL HKEY_Connect(TransportHandle** handle, char* identification,
                                                     int32_t index) {
    return -1;
}

TRANSPORT_EXPORT int32_t TRANSPORT_CALL HKEY_Disconnect(TransportHandle* handle) {
    return handle == nullptr ? 0 : -1;
}

TRANSPORT_EXPORT int32_t TRANSPORT_CALL HKEY_DoCommand(TransportHandle* handle,
                                                       const uint8_t* command,
                                                       int32_t commandLength, uint8_t* reply,
                                                       int32_t* replyLength) {
    return -1;
}

}  // extern "C"

// The transport for the disk-class token, reached through the key service (diskgate). Every
// exported function catches everything: no exception may reach a C caller.
#include "disk_transport.h"

extern "C" {

TRANSPORT_EXPORT int32_t TRANSPORT_CALL HKEY_EnumDEV(int32_t* count) {
    try {
        return disklink::enumerate(count);
    } catch (...) {
        return -1;
    }
}

TRANSPORT_EXPORT int32_t TRANSPORT_CALL HKEY_Connect(TransportHandle** handle, char* identification,
                                                     int32_t index) {
    try {
        return disklink::connect(handle, identification, index);
    } catch (...) {
        return -1;
    }
}

TRANSPORT_EXPORT int32_t TRANSPORT_CALL HKEY_Disconnect(TransportHandle* handle) {
    try {
        return disklink::disconnect(handle);
    } catch (...) {
        return -1;
    }
}

TRANSPORT_EXPORT int32_t TRANSPORT_CALL HKEY_DoCommand(TransportHandle* handle,
                                                       const uint8_t* command,
                                                       int32_t commandLength, uint8_t* reply,
                                                       int32_t* replyLength) {
    try {
        return disklink::doCommand(handle, command, commandLength, reply, replyLength);
    } catch (...) {
        return -1;
    }
}

}  // extern "C"

// The driver transport's exports: one engine over the token's device class. Every exported
// function catches everything: no exception may reach a C caller.
#include "device_class.h"
#include "drv_link.h"

namespace {

drvlink::DrvLink& engine() {
    static drvlink::DrvLink link(drvlink::tokenDeviceClass, drvlink::Options{});
    return link;
}

}  // namespace

extern "C" {

TRANSPORT_EXPORT int32_t TRANSPORT_CALL NDKEY_EnumDEV(int32_t* count) {
    try {
        return engine().enumerate(count);
    } catch (...) {
        return -1;
    }
}

TRANSPORT_EXPORT int32_t TRANSPORT_CALL NDKEY_Connect(TransportHandle** handle,
                                                      char* identification, int32_t index) {
    try {
        return engine().connect(handle, identification, index);
    } catch (...) {
        return -1;
    }
}

TRANSPORT_EXPORT int32_t TRANSPORT_CALL NDKEY_Disconnect(TransportHandle* handle) {
    try {
        return engine().disconnect(handle);
    } catch (...) {
        return -1;
    }
}

TRANSPORT_EXPORT int32_t TRANSPORT_CALL NDKEY_DoCommand(TransportHandle* handle,
                                                        const uint8_t* command,
                                                        int32_t commandLength, uint8_t* reply,
                                                        int32_t* replyLength) {
    try {
        return engine().doCommand(handle, command, commandLength, reply, replyLength);
    } catch (...) {
        return -1;
    }
}

}  // extern "C"

// The SD-card transport's exports: one engine bound to the outside libraries Tarvex_W and
// CCWinDriver, linked at load time. Every exported function catches everything: no exception
// may reach a C caller.
#include "sd_link.h"

namespace {

sdlink::SdLink& engine() {
    static sdlink::SdLink link(sdlink::Libraries{CC_GetDriveMethA, SDSCListDevs, SDSCConnectDev,
                                                 SDSCTransmit, SDSCDisconnectDev},
                               sdlink::Options{});
    return link;
}

}  // namespace

extern "C" {

TRANSPORT_EXPORT int32_t TRANSPORT_CALL MDKEY_EnumDEV(int32_t* count) {
    try {
        return engine().enumerate(count);
    } catch (...) {
        return -1;
    }
}

TRANSPORT_EXPORT int32_t TRANSPORT_CALL MDKEY_Connect(TransportHandle** handle,
                                                      char* identification, int32_t index) {
    try {
        return engine().connect(handle, identification, index);
    } catch (...) {
        return -1;
    }
}

TRANSPORT_EXPORT int32_t TRANSPORT_CALL MDKEY_Disconnect(TransportHandle* handle) {
    try {
        return engine().disconnect(handle);
    } catch (...) {
        return -1;
    }
}

TRANSPORT_EXPORT int32_t TRANSPORT_CALL MDKEY_DoCommand(TransportHandle* handle,
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

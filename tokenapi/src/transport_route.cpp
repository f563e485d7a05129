#include "transport_route.h"

#include "tokenapi.h"

namespace tokenapi::route {

int32_t enumerate(char tag, int32_t* count) {
    switch (tag) {
        case TRANSPORT_TAG_DISK:
            return HKEY_EnumDEV(count);
        case TRANSPORT_TAG_DRIVER:
            return NDKEY_EnumDEV(count);
        case TRANSPORT_TAG_PCSC:
            return CKEY_EnumDEV(count);
        case TRANSPORT_TAG_SD:
            return MDKEY_EnumDEV(count);
    }
    return -1;
}

int32_t connect(char tag, TransportHandle** handle, char* identification, int32_t index) {
    switch (tag) {
        case TRANSPORT_TAG_DISK:
            return HKEY_Connect(handle, identification, index);
        case TRANSPORT_TAG_DRIVER:
            return NDKEY_Connect(handle, identification, index);
        case TRANSPORT_TAG_PCSC:
            return CKEY_Connect(handle, identification, index);
        case TRANSPORT_TAG_SD:
            return MDKEY_Connect(handle, identification, index);
    }
    return -1;
}

int32_t disconnect(TransportHandle* handle) {
    if (handle == nullptr) return XR_BAD_HANDLE;
    switch (handle->tag) {
        case TRANSPORT_TAG_DISK:
            return HKEY_Disconnect(handle);
        case TRANSPORT_TAG_DRIVER:
            return NDKEY_Disconnect(handle);
        case TRANSPORT_TAG_PCSC:
            return CKEY_Disconnect(handle);
        case TRANSPORT_TAG_SD:
            return MDKEY_Disconnect(handle);
    }
    return XR_BAD_HANDLE;
}

int32_t doCommand(TransportHandle* handle, const uint8_t* command, int32_t length, uint8_t* reply,
                  int32_t* replyLength) {
    if (handle == nullptr) return -1;
    switch (handle->tag) {
        case TRANSPORT_TAG_DISK:
            return HKEY_DoCommand(handle, command, length, reply, replyLength);
        case TRANSPORT_TAG_DRIVER:
            return NDKEY_DoCommand(handle, command, length, reply, replyLength);
        case TRANSPORT_TAG_PCSC:
            return CKEY_DoCommand(handle, command, length, reply, replyLength);
        case TRANSPORT_TAG_SD:
            return MDKEY_DoCommand(handle, command, length, reply, replyLength);
    }
    return -1;
}

}  // namespace tokenapi::route

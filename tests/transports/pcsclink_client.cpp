// pcsclink_client INDEX COUNT
//
// Enumerates, connects device INDEX and sends COUNT GET CHALLENGE commands; prints "ok" when
// every one came back with 9000 and eight bytes, else "fail" with the first bad result.
#include <cstdio>
#include <cstdlib>

#include "transports/transport.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: pcsclink_client INDEX COUNT\n");
        return 2;
    }
    const int index = std::atoi(argv[1]);
    const int count = std::atoi(argv[2]);
    int32_t devices = 0;
    TransportHandle* handle = nullptr;
    if (CKEY_EnumDEV(&devices) != 0 || CKEY_Connect(&handle, nullptr, index) != 0) {
        std::printf("fail connect\n");
        return 1;
    }
    const uint8_t getChallenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};
    int failures = 0;
    for (int i = 0; i < count && failures == 0; ++i) {
        uint8_t reply[256];
        int32_t length = sizeof reply;
        const int32_t rc =
            CKEY_DoCommand(handle, getChallenge, sizeof getChallenge, reply, &length);
        if (rc != 0x9000 || length != 8) {
            std::printf("fail %d 0x%x %d\n", i, static_cast<unsigned>(rc), length);
            ++failures;
        }
    }
    CKEY_Disconnect(handle);
    if (failures == 0) std::printf("ok\n");
    return failures == 0 ? 0 : 1;
}

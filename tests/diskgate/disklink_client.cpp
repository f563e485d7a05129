// disklink_client SERIAL COUNT
//
// Finds the disk-class token with that serial (20 hex digits) through the key service and
// sends it COUNT commands in turn: the serial (BF C4), the status record (BF C8), the largest
// cipher block (BF C0) and a challenge (00 84), each checked for its own answer, so that an
// answer meant for another client or another command is caught. Prints "ok COUNT" or "fail"
// with the first wrong answer.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "transports/transport.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string hex(const Bytes& bytes) {
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

int32_t exchange(TransportHandle* handle, const Bytes& command, Bytes& reply) {
    reply.assign(512, 0);
    int32_t length = static_cast<int32_t>(reply.size());
    const int32_t r = HKEY_DoCommand(handle, command.data(), static_cast<int32_t>(command.size()),
                                     reply.data(), &length);
    reply.resize(length >= 0 && length <= 512 ? static_cast<std::size_t>(length) : 0);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: disklink_client SERIAL COUNT\n");
        return 2;
    }
    const std::string serial = argv[1];
    const int count = std::atoi(argv[2]);
    const Bytes serialCommand = {0xBF, 0xC4, 0x00, 0x00, 0x0A};
    int32_t devices = 0;
    if (HKEY_EnumDEV(&devices) != 0) {
        std::printf("fail enumerate\n");
        return 1;
    }
    TransportHandle* handle = nullptr;
    for (int32_t i = 0; i < devices && handle == nullptr; ++i) {
        TransportHandle* candidate = nullptr;
        if (HKEY_Connect(&candidate, nullptr, i) != 0) continue;
        Bytes reply;
        if (exchange(candidate, serialCommand, reply) == 0x9000 && hex(reply) == serial) {
            handle = candidate;
        } else {
            HKEY_Disconnect(candidate);
        }
    }
    if (handle == nullptr) {
        std::printf("fail no token %s among %d\n", serial.c_str(), devices);
        return 1;
    }
    const std::array<Bytes, 4> commands = {serialCommand, Bytes{0xBF, 0xC8, 0x00, 0x00, 0x0F},
                                           Bytes{0xBF, 0xC0, 0x00, 0x00, 0x04},
                                           Bytes{0x00, 0x84, 0x00, 0x00, 0x08}};
    for (int i = 0; i < count; ++i) {
        const Bytes& command = commands[static_cast<std::size_t>(i) % commands.size()];
        Bytes reply;
        const int32_t r = exchange(handle, command, reply);
        bool right = r == 0x9000;
        switch (command[1]) {
            case 0xC4:
                right = right && hex(reply) == serial;
                break;
            case 0xC8:
                right = right && reply.size() == 15 && reply[0] == 0x01;
                break;
            case 0xC0:
                right = right && reply.size() == 4;
                break;
            default:
                right = right && reply.size() == 8;
                break;
        }
        if (!right) {
            std::printf("fail %d: %s gave 0x%x %s\n", i, hex(command).c_str(),
                        static_cast<unsigned>(r), hex(reply).c_str());
            HKEY_Disconnect(handle);
            return 1;
        }
    }
    HKEY_Disconnect(handle);
    std::printf("ok %d\n", count);
    return 0;
}

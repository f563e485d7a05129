#include "service_fixture.h"

#include <gtest/gtest.h>

namespace fixture {

using namespace diskgate::record;

Request enumerate() {
    return Request().word(kCommandOffset, kEnumerate);
}

Request openByIndex(std::uint32_t index) {
    return Request().word(kCommandOffset, kOpenByIndex).word(kArgumentOffset, index);
}

Request closeHandle(std::uint32_t handle) {
    return Request().word(kCommandOffset, kClose).word(kArgumentOffset, handle);
}

Request exchangeDeclaring(std::uint32_t handle, std::uint32_t length, const Bytes& command) {
    return Request()
        .word(kCommandOffset, kExchange)
        .word(kArgumentOffset, handle)
        .word(kLengthOffset, length)
        .data(kDataOffset, command);
}

Request exchange(std::uint32_t handle, const Bytes& command) {
    return exchangeDeclaring(handle, static_cast<std::uint32_t>(command.size()), command);
}

Request openByPathDeclaring(std::uint32_t length, const std::string& path) {
    return Request()
        .word(kCommandOffset, kOpenByPath)
        .word(kArgumentOffset, length)
        .data(kPathOffset, Bytes(path.begin(), path.end()));
}

Request openByPath(const std::string& path) {
    return openByPathDeclaring(static_cast<std::uint32_t>(path.size()), path);
}

Request command(std::uint32_t code) {
    return Request().word(kCommandOffset, code);
}

Service::Service(std::vector<fake::Disk> disks)
    : handler(io, 1000, [this](const diskgate::Text& line) {
          diagnostics.push_back(std::string(line.utf8));
      }) {
    io.disks = std::move(disks);
}

Answer Service::call(const Request& request) {
    Answer a;
    a.bytes.assign(kSize, 0xEE);
    a.used = handler.handle(diskgate::RecordView(request.bytes.data(), kSize),
                            diskgate::RecordBuffer(a.bytes.data(), kSize));
    EXPECT_LE(a.used, kSize);
    // Nothing past the answer's own bytes is written.
    for (std::size_t i = a.used; i < kSize; ++i) {
        if (a.bytes[i] != 0xEE) {
            ADD_FAILURE() << "answer byte " << i << " written past the " << a.used << " used";
            break;
        }
    }
    return a;
}

std::uint32_t Service::openToken(std::uint32_t index) {
    const Answer listed = call(enumerate());
    EXPECT_EQ(listed.result(), 0u);
    const Answer opened = call(openByIndex(index));
    EXPECT_EQ(opened.result(), 0u);
    return opened.word(kAnswerDataOffset);
}

}  // namespace fixture

// Socket helpers the links share.
#pragma once

#include <cerrno>
#include <string>
#include <system_error>

#include "vtoken/bytes.h"

namespace vtoken::io {

[[noreturn]] inline void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Writes everything to a socket (no SIGPIPE); false when the peer is gone.
bool sendAll(int fd, ByteView bytes);
// Writes everything to a descriptor that is not a socket (a terminal).
bool writeAll(int fd, ByteView bytes);

// What one read brought: bytes, nothing yet (EAGAIN), or the end of the connection.
struct ReadResult {
    enum class Kind { Data, Nothing, Closed } kind;
    Bytes data;
};
ReadResult readSome(int fd);
// For TCP links: sets TCP_QUICKACK first, since peers such as vpcd write a message's length
// and payload separately and a delayed ACK would cost tens of milliseconds per message.
ReadResult readSomeTcp(int fd);

}  // namespace vtoken::io

// Answers one request of the record. It works only on the service's own copy of the request,
// so a client that changes the shared memory while the service works cannot change what was
// checked; it acts only on handles it handed out and paths its last discovery recorded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "device_io.h"
#include "diskgate/request_record.h"
#include "handle_table.h"
#include "texts.h"
#include "token_table.h"

namespace diskgate {

// Where the service's diagnostic lines go (the debugger output on Windows, the journal on
// Linux).
using DiagnosticSink = std::function<void(const Text&)>;

using RecordView = std::span<const std::uint8_t, record::kSize>;
using RecordBuffer = std::span<std::uint8_t, record::kSize>;

class RequestHandler {
  public:
    RequestHandler(DeviceIo& io, std::uint32_t firstHandleValue, DiagnosticSink diagnostics);

    // Writes the answer to `request` into `answer` and returns how many of its leading bytes
    // make up the answer (the rest of `answer` is unspecified).
    std::size_t handle(RecordView request, RecordBuffer answer);

    // Closes every disk still open (the service is stopping).
    void closeAll() { handles_.closeAll(); }

    const TokenTable& tokens() const { return tokens_; }
    const HandleTable& handles() const { return handles_; }

  private:
    std::size_t enumerate(RecordBuffer answer);
    std::size_t openByIndex(RecordView request, RecordBuffer answer);
    std::size_t close(RecordView request, RecordBuffer answer);
    std::size_t exchange(RecordView request, RecordBuffer answer);
    std::size_t openByPath(RecordView request, RecordBuffer answer);

    DeviceIo& io_;
    DiagnosticSink diagnostics_;
    TokenTable tokens_;
    HandleTable handles_;
    std::vector<std::uint8_t> command_;   // the command data of an exchange
    std::vector<std::uint8_t> response_;  // what the token answers, room for 0x8000 bytes
};

}  // namespace diskgate

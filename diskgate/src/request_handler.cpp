#include "request_handler.h"

#include <algorithm>
#include <string>

#include "platform/secure_wipe.h"
#include "token_io.h"

namespace diskgate {
namespace {

using namespace record;

// The room the service gives the token's answer to an exchange.
constexpr std::size_t kResponseRoom = 0x8000;

// A client's bytes on their way into a diagnostic line: nothing that could end the line
// early or forge another one.
std::string printable(std::string_view bytes) {
    std::string out(bytes);
    for (char& c : out) {
        if (c < 0x20 || c > 0x7E) c = '?';
    }
    return out;
}

std::size_t answerResult(RecordBuffer answer, std::uint32_t result) {
    store32(answer, kResultOffset, result);
    return 4;
}

}  // namespace

RequestHandler::RequestHandler(DeviceIo& io, std::uint32_t firstHandleValue,
                               DiagnosticSink diagnostics)
    : io_(io),
      diagnostics_(std::move(diagnostics)),
      handles_(firstHandleValue),
      command_(kMaxCommandData),
      response_(kResponseRoom) {}

std::size_t RequestHandler::handle(RecordView request, RecordBuffer answer) {
    switch (load32(request, kCommandOffset)) {
        case kEnumerate:
            return enumerate(answer);
        case kOpenByIndex:
            return openByIndex(request, answer);
        case kClose:
            return close(request, answer);
        case kExchange:
            return exchange(request, answer);
        case kOpenByPath:
            return openByPath(request, answer);
    }
    if (diagnostics_) diagnostics_(texts::kUnknownCommand);
    return answerResult(answer, kUnknownCommand);
}

std::size_t RequestHandler::enumerate(RecordBuffer answer) {
    const SystemError result = tokens_.discover(io_);
    store32(answer, kResultOffset, result);
    store32(answer, kAnswerLengthOffset, 4);
    store32(answer, kAnswerDataOffset, static_cast<std::uint32_t>(tokens_.count()));
    return 12;
}

std::size_t RequestHandler::openByIndex(RecordView request, RecordBuffer answer) {
    const std::uint32_t index = load32(request, kArgumentOffset);
    std::uint32_t result = kOk;
    std::uint32_t handle = 0;
    std::string_view path;
    if (index >= tokens_.count()) {
        result = kInvalidParameter;
    } else if (tokens_.at(index).path.empty()) {
        result = kNoSuchDevice;
    } else {
        OpenResult opened = io_.open(tokens_.at(index).path);
        if (opened.disk) {
            handle = handles_.add(std::move(opened.disk));
            path = tokens_.at(index).path;
        } else {
            result = opened.error != kSuccess ? opened.error : kErrorIoDevice;
        }
    }
    store32(answer, kResultOffset, result);
    store32(answer, kAnswerLengthOffset, static_cast<std::uint32_t>(8 + path.size()));
    store32(answer, kAnswerDataOffset, handle);
    store32(answer, kAnswerDataOffset + 4, static_cast<std::uint32_t>(path.size()));
    std::copy(path.begin(), path.end(), answer.begin() + kAnswerDataOffset + 8);
    return kAnswerDataOffset + 8 + path.size();
}

std::size_t RequestHandler::close(RecordView request, RecordBuffer answer) {
    const std::uint32_t handle = load32(request, kArgumentOffset);
    if (handle == 0) return answerResult(answer, kOk);
    return answerResult(answer, handles_.close(handle) ? kOk : kInvalidHandle);
}

std::size_t RequestHandler::exchange(RecordView request, RecordBuffer answer) {
    const std::uint32_t handle = load32(request, kArgumentOffset);
    const std::uint32_t length = load32(request, kLengthOffset);
    std::uint32_t result = kOk;
    std::size_t received = 0;
    OpenDisk* disk = nullptr;
    if (handle == 0) {
        result = kNullHandle;
    } else if (length == 0 || length > kMaxCommandData) {
        // No command fits in nothing, and none reaches past the record.
        result = kBadLength;
    } else if ((disk = handles_.find(handle)) == nullptr) {
        result = kInvalidHandle;
    } else {
        std::copy_n(request.begin() + kDataOffset, length, command_.begin());
        const ExchangeResult r =
            exchangeApdu(*disk, std::span(command_).first(length), std::span(response_));
        if (r.error != kSuccess) {
            result = r.error;
        } else if (r.length > kMaxResponse) {
            // Cut, the answer would lose its status word: refused instead.
            result = kBadLength;
        } else {
            received = r.length;
        }
    }
    store32(answer, kResultOffset, result);
    store32(answer, kAnswerLengthOffset, static_cast<std::uint32_t>(received));
    std::copy_n(response_.begin(), received, answer.begin() + kAnswerDataOffset);
    platform::secureWipe(command_.data(), length <= kMaxCommandData ? length : 0);
    platform::secureWipe(response_.data(), response_.size());
    return kAnswerDataOffset + received;
}

std::size_t RequestHandler::openByPath(RecordView request, RecordBuffer answer) {
    const std::uint32_t length = load32(request, kArgumentOffset);
    std::uint32_t result = kOk;
    std::uint32_t handle = 0;
    if (length == 0) {
        result = kNoSuchDevice;
    } else if (length > kMaxPath) {
        result = kBadLength;
    } else {
        const std::string path(reinterpret_cast<const char*>(request.data()) + kPathOffset, length);
        if (diagnostics_) {
            const std::string line = printable(path) + "\n";
            diagnostics_(Text::ascii(line));
        }
        if (!tokens_.recorded(path)) {
            result = kAccessDenied;
        } else {
            OpenResult opened = io_.open(path);
            if (opened.disk) {
                handle = handles_.add(std::move(opened.disk));
            } else {
                result = opened.error != kSuccess ? opened.error : kErrorIoDevice;
            }
        }
    }
    store32(answer, kResultOffset, result);
    store32(answer, kAnswerLengthOffset, 4);
    store32(answer, kAnswerDataOffset, handle);
    return 12;
}

}  // namespace diskgate

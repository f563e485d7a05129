#include "token_session.h"

#include <charconv>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "command_table.h"

namespace tokenctl {

std::string describeResult(int32_t result) {
    switch (result) {
        case XR_TRANSPORT:
            return "the token could not be reached";
        case XR_LOCK_UNAVAILABLE:
            return "the key API lock could not be created";
        case XR_DEVICE_LOST:
            return "the token was removed";
        case XR_BAD_HANDLE:
            return "the token is no longer connected";
        case XR_NO_ROOM:
            return "no room on the token";
        case XR_LOCK_TIMEOUT:
            return "the token is busy (another program holds it)";
        case XR_NOT_FOUND:
            return "not found";
        case XR_NAME_LENGTH:
            return "name length out of range";
        case XR_FILE_EXISTS:
            return "a file of that name already exists";
        case XR_NO_CONTAINER_SLOT:
            return "no free container slot";
        case XR_CONTAINER_EXISTS:
            return "a container of that name already exists";
        case XR_BAD_CONTAINER:
            return "not a valid container";
        case XR_BAD_CONTAINER_NAME:
            return "the container name must end in 1 or 2";
        case XR_BAD_ALGORITHM:
            return "the token does not offer that algorithm";
        case XR_BAD_KEY_LENGTH:
            return "the key length does not fit the algorithm";
        case XR_BAD_DATA_LENGTH:
            return "the data length does not fit the operation";
        case XR_BAD_PADDING:
            return "the padding of the last block is wrong (a wrong key, or damaged data)";
        case XR_KEY_UNAVAILABLE:
            return "the token has no key loaded for it";
        case XR_CERT_TOO_LONG:
            return "certificate longer than 2048 bytes";
        case XR_PIN_INCORRECT:
            return "wrong PIN";
        case XR_PIN_TOO_LONG:
            return "PIN longer than 16 bytes";
        case XR_PIN_BLOCKED:
            return "PIN blocked";
        case XR_NOT_VERIFIED:
            return "PIN not verified";
        case XR_UNSUPPORTED:
            return "not supported";
        case XR_BAD_PARAMETER:
            return "invalid parameter";
        case 0x6982:
            return "security status not satisfied (status 6982)";
        case 0x6A82:
            return "file not found on the token (status 6A82)";
        case 0x6D00:
            return "command not supported by the token (status 6D00)";
    }
    char text[32];
    if (result >= 0x6000 && result <= 0x9FFF) {
        std::snprintf(text, sizeof text, "token status %04X", static_cast<unsigned>(result));
    } else {
        std::snprintf(text, sizeof text, "error 0x%X", static_cast<unsigned>(result));
    }
    return text;
}

int fail(std::string_view what, int32_t result) {
    std::cerr << "tokenctl: " << what << ": " << describeResult(result) << "\n";
    return kExitFailed;
}

int usage(std::string_view message) {
    std::cerr << "tokenctl: " << message << "\n";
    return kExitUsage;
}

std::optional<uint32_t> parseNumber(std::string_view text) {
    uint32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return {};
    return value;
}

TokenSession::TokenSession(std::string_view numberText) {
    auto number = parseNumber(numberText);
    if (!number) {
        exitCode_ = usage("not a token number: '" + std::string(numberText) + "'");
        return;
    }
    uint32_t count = 0;
    X_EnumDEV(0, &count);
    if (count == 0) {
        std::cerr << "tokenctl: no token found\n";
        exitCode_ = kExitFailed;
        return;
    }
    if (*number >= count) {
        std::ostringstream os;
        os << "no token number " << *number << " (" << count << (count == 1 ? " token" : " tokens")
           << " found, numbered from 0)";
        exitCode_ = usage(os.str());
        return;
    }
    if (int32_t r = X_ConnectDEV(&device_, static_cast<int32_t>(*number)); r != 0) {
        device_ = nullptr;
        exitCode_ = fail("cannot connect token " + std::to_string(*number), r);
    }
}

TokenSession::~TokenSession() {
    if (device_ != nullptr) X_DisConnectDEV(device_);
}

}  // namespace tokenctl

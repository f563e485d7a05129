#pragma once

#include <cstdint>
#include <exception>

namespace vtoken {

// Status words the token answers with.
namespace sw {
inline constexpr std::uint16_t kSuccess = 0x9000;
inline constexpr std::uint16_t kMoreData = 0x6100;  // | bytes waiting for GET RESPONSE
inline constexpr std::uint16_t kWrongPin = 0x63C0;  // | tries left
inline constexpr std::uint16_t kMemoryFailure = 0x6581;
inline constexpr std::uint16_t kWrongLength = 0x6700;
inline constexpr std::uint16_t kIncompatibleFile = 0x6981;
inline constexpr std::uint16_t kSecurityNotSatisfied = 0x6982;
inline constexpr std::uint16_t kAuthBlocked = 0x6983;
inline constexpr std::uint16_t kConditionsNotSatisfied = 0x6985;
inline constexpr std::uint16_t kNoCurrentEf = 0x6986;
inline constexpr std::uint16_t kWrongData = 0x6A80;
inline constexpr std::uint16_t kFileNotFound = 0x6A82;
inline constexpr std::uint16_t kRecordNotFound = 0x6A83;
inline constexpr std::uint16_t kNotEnoughMemory = 0x6A84;
inline constexpr std::uint16_t kWrongP1P2 = 0x6A86;
inline constexpr std::uint16_t kKeyNotFound = 0x6A88;
inline constexpr std::uint16_t kFileExists = 0x6A89;
inline constexpr std::uint16_t kOffsetBeyondEnd = 0x6B00;
inline constexpr std::uint16_t kWrongLe = 0x6C00;  // | bytes available
inline constexpr std::uint16_t kInsNotSupported = 0x6D00;
inline constexpr std::uint16_t kClaNotSupported = 0x6E00;
inline constexpr std::uint16_t kNoPreciseDiagnosis = 0x6F00;  // the command failed inside

constexpr std::uint16_t wrongLe(std::size_t available) {
    return static_cast<std::uint16_t>(kWrongLe | (available & 0xFF));
}
constexpr std::uint16_t moreData(std::size_t waiting) {
    return static_cast<std::uint16_t>(kMoreData | (waiting & 0xFF));
}
constexpr std::uint16_t wrongPin(unsigned triesLeft) {
    return static_cast<std::uint16_t>(kWrongPin | (triesLeft & 0x0F));
}
}  // namespace sw

// Handlers refuse a command by throwing this; the token turns it into the reply in one place.
class StatusError : public std::exception {
  public:
    explicit StatusError(std::uint16_t code) : code_(code) {}
    std::uint16_t code() const { return code_; }
    const char* what() const noexcept override { return "command refused with a status word"; }

  private:
    std::uint16_t code_;
};

[[noreturn]] inline void refuse(std::uint16_t code) {
    throw StatusError(code);
}

}  // namespace vtoken

// The SD-card transport: tokens built into an SD card, reached along the driver path
// (CCWinDriver's operations table, tried first at every enumeration) or the vendor path
// (Tarvex_W, used when the driver path finds no card).
//
// The engine takes the outside libraries' entry points as a table so that tests can put
// scripted libraries in their place; the exported MDKEY_ functions run one engine bound to the
// real libraries.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "cc_win_driver.h"
#include "device_names.h"
#include "tarvex_w.h"
#include "transports/transport.h"

namespace sdlink {

struct Libraries {
    int32_t(CC_CALL* getDriveMeth)(CCDriveMeth** methods);
    int32_t(SDSC_CALL* listDevs)(char* list, uint32_t* listSize, uint32_t* count);
    int32_t(SDSC_CALL* connectDev)(const char* name, void** device);
    int32_t(SDSC_CALL* transmit)(void* device, const uint8_t* command, uint32_t commandLength,
                                 uint32_t mode, uint8_t* reply, uint32_t* replyLength,
                                 uint32_t* status);
    int32_t(SDSC_CALL* disconnectDev)(void* device);
};

struct Options {
    // How long the driver path keeps asking for a reply that is not ready. A token's longest
    // operation (an RSA-2048 key pair) takes well under a minute.
    std::chrono::milliseconds pollLimit{60000};
    // The pause after "not ready"; "busy" is asked again at once.
    std::chrono::milliseconds pollPause{10};
};

// Receive buffers. The driver path receives reply data and status word together; the vendor
// library hands the status word back on its own, so its buffer holds only the data.
inline constexpr std::size_t kDriverReceiveSize = 4096;
inline constexpr std::size_t kVendorReceiveSize = 5000;
// The vendor path's room for the serial number at Connect.
inline constexpr std::size_t kSerialReplyCapacity = 20;
inline constexpr std::size_t kSerialLength = 10;

enum class Path : std::uint8_t { Vendor, Driver };

class SdLink {
  public:
    SdLink(Libraries libraries, Options options) : libs_(libraries), options_(options) {}

    int32_t enumerate(int32_t* count);
    int32_t connect(TransportHandle** handle, char* identification, int32_t index);
    int32_t disconnect(TransportHandle* handle);
    int32_t doCommand(TransportHandle* handle, const uint8_t* command, int32_t commandLength,
                      uint8_t* reply, int32_t* replyLength);

  private:
    // The reply data may carry key material or deciphered data: wiped when the reply goes.
    struct Reply {
        int32_t result;  // the status word, or the failure
        std::vector<uint8_t> data;
        ~Reply();
    };
    Reply exchange(Path path, const CCDriveMeth* methods, void* device,
                   std::span<const uint8_t> command, std::size_t vendorCapacity);
    Reply exchangeDriver(const CCDriveMeth& methods, void* device,
                         std::span<const uint8_t> command);
    Reply exchangeVendor(void* device, std::span<const uint8_t> command, std::size_t capacity);
    void close(Path path, const CCDriveMeth* methods, void* device);

    Libraries libs_;
    Options options_;
    // The process-wide state of the last enumeration. Callers enumerate and connect from one
    // thread at a time; the lock only keeps a mistaken second thread from tearing it.
    std::mutex mutex_;
    NameList names_;
    Path path_ = Path::Vendor;
    CCDriveMeth* methods_ = nullptr;
};

}  // namespace sdlink

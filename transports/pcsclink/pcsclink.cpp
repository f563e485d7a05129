// The PC/SC transport: tokens that show up as a smart-card reader named "Tarvex USB KEY...".
// Every exported function catches everything: no exception may reach a C caller.
#include <cstring>
#include <memory>

#include "identification.h"
#include "pcsc_adapter.h"
#include "pcsc_result.h"
#include "platform/named_mutex.h"
#include "platform/secure_wipe.h"
#include "reader_registry.h"
#include "transports/transport.h"

namespace pcsclink {
namespace {

// The largest reply the token sends, status word included.
constexpr std::size_t kReceiveBufferSize = 20240;

// What Connect hands out. Callers only see `record` (the tag must stay the first byte); the
// protocol rides behind it because a transmit has to name the protocol the card runs.
struct PcscHandle {
    TransportHandle record;
    pcsc::Dword protocol;
};
static_assert(offsetof(PcscHandle, record) == 0);

PcscHandle* ownHandle(TransportHandle* handle) {
    if (handle == nullptr || handle->tag != TRANSPORT_TAG_PCSC || handle->connection == 0 ||
        handle->lock == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<PcscHandle*>(handle);
}

pcsc::Card cardOf(const PcscHandle& h) {
    return static_cast<pcsc::Card>(h.record.connection);
}
platform::NamedMutex& lockOf(const PcscHandle& h) {
    return *static_cast<platform::NamedMutex*>(h.record.lock);
}

// A freshly connected card that must be let go again if Connect fails later on.
class CardGuard {
  public:
    explicit CardGuard(pcsc::Card card) : card_(card) {}
    ~CardGuard() {
        if (armed_) SCardDisconnect(card_, SCARD_LEAVE_CARD);
    }
    CardGuard(const CardGuard&) = delete;
    CardGuard& operator=(const CardGuard&) = delete;
    pcsc::Card keep() {
        armed_ = false;
        return card_;
    }

  private:
    pcsc::Card card_;
    bool armed_ = true;
};

// The reply of one exchange. A reply may carry key material or deciphered data, so what the
// card wrote is wiped before the memory goes back to the heap (all of it when the transmit
// failed and nobody said how much that was).
class ReceiveBuffer {
  public:
    ReceiveBuffer() : bytes_(std::make_unique_for_overwrite<std::uint8_t[]>(kReceiveBufferSize)) {}
    ~ReceiveBuffer() { platform::secureWipe(bytes_.get(), filled_); }
    ReceiveBuffer(const ReceiveBuffer&) = delete;
    ReceiveBuffer& operator=(const ReceiveBuffer&) = delete;
    std::uint8_t* data() { return bytes_.get(); }
    void filled(std::size_t length) { filled_ = length; }

  private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t filled_ = kReceiveBufferSize;
};

const SCARD_IO_REQUEST* pciFor(pcsc::Dword protocol) {
    return protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
}

std::int32_t connect(TransportHandle** handle, char* identification, std::int32_t index) {
    if (handle == nullptr) return -1;
    ReaderRegistry& registry = ReaderRegistry::instance();
    const ReaderEntry* entry = registry.entry(index);
    if (entry == nullptr) return -1;

    pcsc::Card card{};
    pcsc::Dword protocol = 0;
    // Shared: other processes may be using the same token at the same time.
    const pcsc::Long rv = pcsc::connect(registry.context(), entry->name.c_str(), SCARD_SHARE_SHARED,
                                        SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
    if (rv != SCARD_S_SUCCESS) return toResult(rv);
    CardGuard guard(card);

    const std::string id = identificationFromAtr(entry->atr);
    if (identification != nullptr) std::memcpy(identification, id.data(), id.size());

    std::unique_ptr<platform::NamedMutex> lock =
        platform::NamedMutex::openOrCreate(platform::deviceLockName(id));
    if (!lock) return -1;

    auto made = std::make_unique<PcscHandle>();
    made->record.tag = TRANSPORT_TAG_PCSC;
    made->record.connection = static_cast<std::uintptr_t>(guard.keep());
    made->record.lock = lock.release();
    made->protocol = protocol;
    *handle = &made.release()->record;
    return 0;
}

std::int32_t disconnect(TransportHandle* handle) {
    if (handle == nullptr) return 0;
    PcscHandle* own = ownHandle(handle);
    if (own == nullptr) return -1;
    // Leave the card as it is: another process may be in the middle of using it.
    const pcsc::Long rv = SCardDisconnect(cardOf(*own), SCARD_LEAVE_CARD);
    if (rv != SCARD_S_SUCCESS) return toResult(rv);
    delete &lockOf(*own);
    delete own;
    return 0;
}

std::int32_t doCommand(TransportHandle* handle, const std::uint8_t* command,
                       std::int32_t commandLength, std::uint8_t* reply, std::int32_t* replyLength) {
    PcscHandle* own = ownHandle(handle);
    if (own == nullptr) return -1;
    if (commandLength < 0 || (command == nullptr && commandLength > 0) || reply == nullptr ||
        replyLength == nullptr) {
        return -1;
    }

    // A buffer per call: a thread_local one would be destroyed by mingw's emulated TLS in an
    // order that crashes a DLL unloaded by its host, and the allocation costs nothing next to
    // a PC/SC round trip.
    ReceiveBuffer received;
    pcsc::Dword receivedLength = static_cast<pcsc::Dword>(kReceiveBufferSize);
    pcsc::Long rv = SCARD_S_SUCCESS;
    {
        // Serialises this token's exchanges across every process that uses it.
        platform::NamedMutexGuard guard(lockOf(*own), std::nullopt);
        if (!guard.owns()) return -1;
        rv = SCardTransmit(cardOf(*own), pciFor(own->protocol), command,
                           static_cast<pcsc::Dword>(commandLength), nullptr, received.data(),
                           &receivedLength);
    }
    // A card that dies between command and answer can leave the transmit "successful" with
    // no status word: that is a lost device as much as a transmit error is.
    if (rv != SCARD_S_SUCCESS || receivedLength < 2 || receivedLength > kReceiveBufferSize) {
        return TRANSPORT_DEVICE_LOST;
    }
    received.filled(receivedLength);
    const std::size_t dataLength = receivedLength - 2;
    std::memcpy(reply, received.data(), dataLength);
    *replyLength = static_cast<std::int32_t>(dataLength);
    return received.data()[dataLength] * 256 + received.data()[dataLength + 1];
}

}  // namespace
}  // namespace pcsclink

extern "C" {

TRANSPORT_EXPORT int32_t TRANSPORT_CALL CKEY_EnumDEV(int32_t* count) {
    if (count == nullptr) return -1;
    try {
        return pcsclink::ReaderRegistry::instance().enumerate(*count);
    } catch (...) {
        return -1;
    }
}

TRANSPORT_EXPORT int32_t TRANSPORT_CALL CKEY_Connect(TransportHandle** handle, char* identification,
                                                     int32_t index) {
    try {
        return pcsclink::connect(handle, identification, index);
    } catch (...) {
        return -1;
    }
}

TRANSPORT_EXPORT int32_t TRANSPORT_CALL CKEY_Disconnect(TransportHandle* handle) {
    try {
        return pcsclink::disconnect(handle);
    } catch (...) {
        return -1;
    }
}

TRANSPORT_EXPORT int32_t TRANSPORT_CALL CKEY_DoCommand(TransportHandle* handle,
                                                       const uint8_t* command,
                                                       int32_t commandLength, uint8_t* reply,
                                                       int32_t* replyLength) {
    try {
        return pcsclink::doCommand(handle, command, commandLength, reply, replyLength);
    } catch (...) {
        return -1;
    }
}

}  // extern "C"

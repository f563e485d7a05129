#include "pcsc_probe.h"

#include <winscard.h>

#include <cstring>
#include <stdexcept>
#include <thread>

namespace testbed {

using namespace std::chrono_literals;

PcscProbe::PcscProbe(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        SCARDCONTEXT context = 0;
        const LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
        if (rv == SCARD_S_SUCCESS) {
            context_ = context;
            return;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("pcscd did not answer: " +
                                     std::string(pcsc_stringify_error(rv)));
        }
        std::this_thread::sleep_for(20ms);
    }
}

PcscProbe::~PcscProbe() {
    SCardReleaseContext(context_);
}

std::vector<std::string> PcscProbe::readers() const {
    DWORD length = 0;
    if (SCardListReaders(context_, nullptr, nullptr, &length) != SCARD_S_SUCCESS) return {};
    std::vector<char> list(length);
    if (SCardListReaders(context_, nullptr, list.data(), &length) != SCARD_S_SUCCESS) return {};
    std::vector<std::string> names;
    for (std::size_t at = 0; at < list.size() && list[at] != '\0';) {
        names.emplace_back(&list[at]);
        at += names.back().size() + 1;
    }
    return names;
}

std::optional<std::vector<std::uint8_t>> PcscProbe::atr(const std::string& reader) const {
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    if (SCardGetStatusChange(context_, 0, &state, 1) != SCARD_S_SUCCESS) return std::nullopt;
    if ((state.dwEventState & SCARD_STATE_PRESENT) == 0) return std::nullopt;
    return std::vector<std::uint8_t>(state.rgbAtr, state.rgbAtr + state.cbAtr);
}

}  // namespace testbed

// tokenbench: what the key API's exchange path costs on top of raw PC/SC.
//
// Starts a private pcscd with one virtual token (the test bed), then measures side by side,
// in alternating rounds so that drift on the machine hits all of them alike:
//   raw       SCardTransmit of the serial-number command on a card handle of our own
//   transmit  X_TransmitCmd of the same command (key API lock, routing, per-device lock)
//   info      X_GetDEVInfo type 7 (the same command plus the status-word rule and formatting)
// and prints round trips per second and the ratios against raw.
#include <winscard.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bed.h"
#include "tokenapi.h"

namespace {

using Clock = std::chrono::steady_clock;
const unsigned char kSerialCommand[] = {0xBF, 0xC4, 0x00, 0x00, 0x0A};

struct Meter {
    const char* name;
    std::function<void()> once;
    long count = 0;
    double seconds = 0;
    double rate() const { return seconds > 0 ? count / seconds : 0; }
};

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

}  // namespace

int main(int argc, char** argv) {
    const double roundSeconds = argc > 1 ? std::atof(argv[1]) : 0.5;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 6;
    try {
        testbed::BedLayout layout;
        layout.readerEntries = {"Tarvex USB KEY 1"};
        layout.tokens = {testbed::TokenSpec{}};
        auto bed = testbed::Bed::start(layout);

        SCARDCONTEXT context = 0;
        check(
            SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) == SCARD_S_SUCCESS,
            "SCardEstablishContext");
        SCARDHANDLE card = 0;
        DWORD protocol = 0;
        check(SCardConnect(context, bed->token(0).readerName().c_str(), SCARD_SHARE_SHARED,
                           SCARD_PROTOCOL_T1, &card, &protocol) == SCARD_S_SUCCESS,
              "SCardConnect");

        uint32_t count = 0;
        X_EnumDEV(0, &count);
        check(count == 1, "the key API does not see the virtual token");
        DeviceHandle* device = nullptr;
        check(X_ConnectDEV(&device, 0) == 0, "X_ConnectDEV");

        std::vector<unsigned char> reply(512);
        std::vector<Meter> meters = {
            {"raw",
             [&] {
                 DWORD length = static_cast<DWORD>(reply.size());
                 check(SCardTransmit(card, SCARD_PCI_T1, kSerialCommand, sizeof kSerialCommand,
                                     nullptr, reply.data(), &length) == SCARD_S_SUCCESS &&
                           length == 12,
                       "SCardTransmit");
             }},
            {"transmit",
             [&] {
                 uint32_t length = static_cast<uint32_t>(reply.size());
                 int32_t status = 0;
                 check(X_TransmitCmd(device, kSerialCommand, sizeof kSerialCommand, reply.data(),
                                     &length, &status) == 0 &&
                           status == 0x9000,
                       "X_TransmitCmd");
             }},
            {"info",
             [&] {
                 uint32_t length = 0;
                 check(X_GetDEVInfo(device, XINFO_SERIAL, reply.data(), &length) == 0,
                       "X_GetDEVInfo");
             }},
        };

        // The token writes a trace line per command; keep it from growing without end.
        for (int round = 0; round < rounds; ++round) {
            for (auto& m : meters) {
                const auto start = Clock::now();
                const auto end = start + std::chrono::duration<double>(roundSeconds);
                auto now = start;
                while (now < end) {
                    m.once();
                    ++m.count;
                    now = Clock::now();
                }
                m.seconds += std::chrono::duration<double>(now - start).count();
            }
            bed->token(0).clearTrace();
        }

        X_DisConnectDEV(device);
        SCardDisconnect(card, SCARD_LEAVE_CARD);
        SCardReleaseContext(context);

        std::printf("%-10s %12s %10s\n", "path", "round trips", "per second");
        for (const auto& m : meters) std::printf("%-10s %12ld %10.0f\n", m.name, m.count, m.rate());
        std::printf("ratio transmit_vs_raw %.3f\n", meters[1].rate() / meters[0].rate());
        std::printf("ratio info_vs_raw %.3f\n", meters[2].rate() / meters[0].rate());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tokenbench: %s\n", e.what());
        return 1;
    }
}

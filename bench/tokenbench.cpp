// tokenbench: what the key API's exchange path costs on top of raw PC/SC.
//
// Starts a private pcscd with one virtual token (the test bed), then measures side by side,
// in alternating rounds so that drift on the machine hits all of them alike:
//   raw       SCardTransmit of the serial-number command on a card handle of our own
//   transmit  X_TransmitCmd of the same command (key API lock, routing, per-device lock)
//   info      X_GetDEVInfo type 7 (the same command plus the status-word rule and formatting)
// and prints round trips per second and the ratios against raw. Then, on the token made to
// report 4,096 as its largest cipher block, 1 MiB at a time, in pairs run back to back (the
// order turning each time) so that load on the machine hits both alike:
//   cipher_raw  the data's 4,096-byte chunks (four-byte form) by SCardTransmit, key loaded once
//   cipher      X_EncryptNoPad of the same data (key load, block query, the same chunks)
// and prints their throughput, the median of the pairs' ratios and the commands per MiB.
#include <winscard.h>

#include <algorithm>
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

double secondsOf(const std::function<void()>& once) {
    const auto start = Clock::now();
    once();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

// The cipher comparison: 1 MiB per operation, in the chunks a token reporting 4,096 takes.
constexpr size_t kCipherData = 1024 * 1024;
constexpr size_t kCipherChunk = 4096;
const unsigned char kCipherKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                      0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};

// 90 C6 00 00 in the four-byte form (00 00, length) with one chunk of the data.
std::vector<unsigned char> cipherChunkCommand(const unsigned char* data) {
    std::vector<unsigned char> c = {0x90,
                                    0xC6,
                                    0x00,
                                    0x00,
                                    0x00,
                                    0x00,
                                    static_cast<unsigned char>(kCipherChunk >> 8),
                                    static_cast<unsigned char>(kCipherChunk & 0xFF)};
    c.insert(c.end(), data, data + kCipherChunk);
    return c;
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

        // The SM4 key in the token's key register for the raw chunks; the key API loads the
        // same key at every call.
        check(bed->token(0).control("max-block 4096") == "ok", "max-block");
        std::vector<unsigned char> cipherData(kCipherData);
        for (size_t i = 0; i < cipherData.size(); ++i)
            cipherData[i] = static_cast<unsigned char>(i);
        std::vector<unsigned char> cipherOut(kCipherData);
        std::vector<std::vector<unsigned char>> rawChunks;
        for (size_t at = 0; at < kCipherData; at += kCipherChunk) {
            rawChunks.push_back(cipherChunkCommand(cipherData.data() + at));
        }
        std::vector<unsigned char> cipherReply(kCipherChunk + 2);
        {
            std::vector<unsigned char> load = {0x80, 0xC6, 0x00, 0x02, 0x10};
            load.insert(load.end(), std::begin(kCipherKey), std::end(kCipherKey));
            DWORD length = static_cast<DWORD>(cipherReply.size());
            check(SCardTransmit(card, SCARD_PCI_T1, load.data(), static_cast<DWORD>(load.size()),
                                nullptr, cipherReply.data(), &length) == SCARD_S_SUCCESS &&
                      length == 2 && cipherReply[0] == 0x90,
                  "key load");
        }
        bed->token(0).clearTrace();
        uint32_t cipherLength = 0;
        check(X_EncryptNoPad(device, XCIPHER_BLOCK16, kCipherKey, 16, cipherData.data(),
                             kCipherData, cipherOut.data(), &cipherLength) == 0,
              "X_EncryptNoPad");
        size_t commandsPerMiB = 0;
        for (const std::string& line : bed->token(0).traceLines()) {
            if (line.rfind("> ", 0) == 0) ++commandsPerMiB;
        }

        const std::function<void()> cipherRaw = [&] {
            for (const auto& chunk : rawChunks) {
                DWORD length = static_cast<DWORD>(cipherReply.size());
                check(SCardTransmit(card, SCARD_PCI_T1, chunk.data(),
                                    static_cast<DWORD>(chunk.size()), nullptr, cipherReply.data(),
                                    &length) == SCARD_S_SUCCESS &&
                          length == kCipherChunk + 2,
                      "SCardTransmit of a cipher chunk");
            }
        };
        const std::function<void()> cipherApi = [&] {
            uint32_t length = 0;
            check(X_EncryptNoPad(device, XCIPHER_BLOCK16, kCipherKey, 16, cipherData.data(),
                                 kCipherData, cipherOut.data(), &length) == 0 &&
                      length == kCipherData,
                  "X_EncryptNoPad");
        };

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

        // The cipher pairs, for as long as the rounds above took in all.
        double rawSeconds = 0;
        double apiSeconds = 0;
        std::vector<double> pairRatios;
        const double budget = 2 * rounds * roundSeconds;
        for (size_t pair = 0; pair < 3 || rawSeconds + apiSeconds < budget; ++pair) {
            const bool rawFirst = pair % 2 == 0;
            const double first = secondsOf(rawFirst ? cipherRaw : cipherApi);
            const double second = secondsOf(rawFirst ? cipherApi : cipherRaw);
            const double raw = rawFirst ? first : second;
            const double api = rawFirst ? second : first;
            rawSeconds += raw;
            apiSeconds += api;
            pairRatios.push_back(raw / api);
            bed->token(0).clearTrace();
        }

        X_DisConnectDEV(device);
        SCardDisconnect(card, SCARD_LEAVE_CARD);
        SCardReleaseContext(context);

        std::printf("%-10s %12s %10s\n", "path", "round trips", "per second");
        for (const auto& m : meters) std::printf("%-10s %12ld %10.0f\n", m.name, m.count, m.rate());
        std::printf("ratio transmit_vs_raw %.3f\n", meters[1].rate() / meters[0].rate());
        std::printf("ratio info_vs_raw %.3f\n", meters[2].rate() / meters[0].rate());
        std::printf("cipher MiB/s: raw %.2f, X_EncryptNoPad %.2f (%zu pairs of 1 MiB)\n",
                    pairRatios.size() / rawSeconds, pairRatios.size() / apiSeconds,
                    pairRatios.size());
        std::printf("ratio cipher_vs_raw %.3f\n", median(pairRatios));
        std::printf("commands per MiB: cipher %zu, cipher_raw %zu\n", commandsPerMiB,
                    rawChunks.size());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tokenbench: %s\n", e.what());
        return 1;
    }
}

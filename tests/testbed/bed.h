// A private PC/SC stack for tests: its own pcscd in its own mount namespace, vpcd readers on
// free loopback ports, and virtual tokens as the cards. One bed per process: pcsc-lite
// remembers the daemon's socket at its first call.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "virtual_token.h"

namespace testbed {

struct BedLayout {
    // One vpcd entry per name; each makes two readers, "NAME 00 00" and "NAME 00 01", listed
    // by pcscd in this order. No entries: no pcscd (tokens on the other transports only).
    std::vector<std::string> readerEntries;
    std::vector<TokenSpec> tokens;
};

// What the bed sets in this process's environment so that the transports find its tokens and
// nothing else of the machine:
//   PCSCLITE_CSOCK_NAME     the bed's pcscd
//   TARVEX_SD_CARDS         the vendor-path cards ("tokenN=127.0.0.1:PORT;..."), possibly empty
//   TARVEX_SD_DRIVER_CARDS  the driver-path cards, likewise
//   TOKEN_DRIVER_DEVICES    "<bed>/dev/tarvexkey*", where the tokens' pseudo-terminals appear
inline constexpr const char* kSdVendorVariable = "TARVEX_SD_CARDS";
inline constexpr const char* kSdDriverVariable = "TARVEX_SD_DRIVER_CARDS";
inline constexpr const char* kDriverDevicesVariable = "TOKEN_DRIVER_DEVICES";

class Bed {
  public:
    // Starts pcscd and every token, and returns once pcscd lists every reader and shows a card
    // in every token's reader. Sets PCSCLITE_CSOCK_NAME (and TOKEN_PLATFORM_NAMESPACE when
    // unset) in this process. Throws std::runtime_error when the bed does not come up.
    static std::unique_ptr<Bed> start(const BedLayout& layout);
    ~Bed();
    Bed(const Bed&) = delete;
    Bed& operator=(const Bed&) = delete;

    const std::filesystem::path& folder() const { return folder_; }
    std::filesystem::path socketPath() const { return folder_ / "run/pcscd/pcscd.comm"; }
    std::string readerName(std::size_t entry, int slot) const;
    VirtualToken& token(std::size_t index) { return *tokens_.at(index); }
    std::size_t tokenCount() const { return tokens_.size(); }

    // The card list of the SD-card vendor or driver path, as the environment holds it when the
    // bed starts (a test that hides one path sets the variable and restores it from here).
    std::string cardList(Transport path) const;
    // The pattern under which the tokens' device nodes appear.
    std::string devicePattern() const { return (folder_ / "dev" / "tarvexkey*").string(); }

    // What pcscd lists now, in its order.
    std::vector<std::string> readers() const;
    // The ATR of the card now in the reader, or nothing when there is none.
    std::optional<std::vector<std::uint8_t>> atr(const std::string& reader) const;
    // Stops pcscd (the PC/SC service goes away, as on Windows when the last reader is
    // unplugged), and starts it again with the same readers; the tokens reconnect by
    // themselves. restartDaemon returns once every reader shows its card; throws otherwise.
    void stopDaemon();
    void restartDaemon();

    // Polls until the reader shows a card (or none); false when the limit passed first.
    bool waitForCard(const std::string& reader, bool present,
                     std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) const;

  private:
    Bed(BedLayout layout, std::filesystem::path folder);
    std::filesystem::path driverCopy(std::size_t entry) const {
        return folder_ / ("libifdvpcd-" + std::to_string(entry) + ".so");
    }
    void writeReaderConf(const std::vector<int>& ports) const;
    void startDaemon();
    bool comesUp(std::chrono::milliseconds limit, std::string& problem);
    // Ports and paths of every token for one attempt, and the environment that names them.
    void placeTokens(const std::vector<int>& readerPorts);

    BedLayout layout_;
    std::filesystem::path folder_;
    std::optional<ChildProcess> pcscd_;
    std::vector<std::unique_ptr<VirtualToken>> tokens_;
    std::string lockNamespace_;  // set when the bed chose TOKEN_PLATFORM_NAMESPACE
    std::string vendorCards_;
    std::string driverCards_;
};

}  // namespace testbed

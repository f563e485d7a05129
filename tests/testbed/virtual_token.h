// One virtual token of the bed: a `vtoken run` process that acts as the card in one vpcd
// reader, with its state file, command trace and control socket.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"

namespace testbed {

// The ways a host reaches a token of the bed.
enum class Transport {
    Pcsc,        // a vpcd reader of the bed's pcscd (readerEntry, slot)
    SdVendor,    // the SD-card vendor path: Tarvex_W's stand-in, over loopback TCP
    SdDriver,    // the SD-card driver path: CCWinDriver's stand-in, over loopback TCP
    DriverNode,  // the driver transport: a pseudo-terminal where discovery looks for nodes
};

struct TokenSpec {
    std::size_t readerEntry = 0;                  // index into BedLayout::readerEntries
    int slot = 0;                                 // 0: reader "NAME 00 00", 1: "NAME 00 01"
    std::string serial = "0102030405060708090a";  // 20 hex digits, distinct per token
    std::string label = "Tarvex Virtual Token";
    int generation = 2;
    // The trace shows secret bytes (PIN records, cryptograms, challenges, keys) instead of
    // masking them: for tests that check those bytes on the wire.
    bool showSecrets = false;
    // One token state served on each of these at once.
    std::vector<Transport> transports = {Transport::Pcsc};

    bool on(Transport t) const;
};

// Where a running token is served; set by the bed before it starts the token.
struct Endpoints {
    std::optional<int> vpcdPort;
    std::optional<int> loopbackPort;
    std::optional<std::filesystem::path> devicePath;  // the pseudo-terminal's link
};

class VirtualToken {
  public:
    VirtualToken(std::filesystem::path program, std::filesystem::path folder, TokenSpec spec,
                 std::string readerName);
    ~VirtualToken();
    VirtualToken(const VirtualToken&) = delete;
    VirtualToken& operator=(const VirtualToken&) = delete;

    const TokenSpec& spec() const { return spec_; }
    // The PC/SC reader the token sits in ("" for a token without the PC/SC transport).
    const std::string& readerName() const { return readerName_; }
    Endpoints& endpoints() { return endpoints_; }
    const Endpoints& endpoints() const { return endpoints_; }
    std::filesystem::path statePath() const { return folder_ / "state"; }
    std::filesystem::path tracePath() const { return folder_ / "trace"; }
    std::filesystem::path controlPath() const { return folder_ / "control.sock"; }

    // Provisions the state file with `vtoken init` unless it exists. Throws on failure.
    void provision();

    // Inserts the card: starts `vtoken run` with a front-end for each endpoint (the vpcd port
    // replaced by `vpcdPort` when given) and waits until its control socket answers. Throws on
    // failure.
    void start(std::optional<int> vpcdPort = std::nullopt);
    // Pulls the card out: ends the process.
    void stop();
    // Whether the next start() shows secrets in the trace.
    void showSecrets(bool show) { spec_.showSecrets = show; }
    bool running();

    // Trace lines ("> 00A4..." for commands, "< 9000" for replies) written since the last
    // clearTrace().
    std::vector<std::string> traceLines() const;
    void clearTrace();

    // Sends one request line to the control socket and returns the reply line ("ok" or
    // "error: ..."). Throws std::runtime_error when the socket cannot be reached.
    std::string control(std::string_view request) const;

  private:
    std::filesystem::path program_;
    std::filesystem::path folder_;
    TokenSpec spec_;
    std::string readerName_;
    Endpoints endpoints_;
    std::uintmax_t traceOffset_ = 0;
    std::optional<ChildProcess> process_;
};

}  // namespace testbed

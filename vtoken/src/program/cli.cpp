#include "vtoken/cli.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "vtoken/card_session.h"
#include "vtoken/front_end_address.h"
#include "vtoken/rsa_keys.h"
#include "vtoken/server.h"
#include "vtoken/state_file.h"
#include "vtoken/token.h"

namespace vtoken {

namespace {

constexpr std::string_view kUsage =
    "usage: vtoken init STATE_FILE [--serial HEX20] [--label TEXT] [--generation 1|2]\n"
    "                  [--max-block N|none] [--no-pin-counter-command] [--capacity BYTES]\n"
    "       vtoken run STATE_FILE (--vpcd HOST:PORT | --serve FRAMER:LINK:ADDRESS)...\n"
    "                  [--trace FILE [--show-secrets]] [--control SOCKET_PATH]\n"
    "                  [--fault SPEC]... [--no-sync] [--rsa-key-pool FILE]\n"
    "         LINK: connect HOST:PORT, listen HOST:PORT, pty PATH\n"
    "       vtoken show STATE_FILE\n"
    "       vtoken key-pool FILE [--rsa1024 N] [--rsa2048 N]\n"
    "PINs for init come from VTOKEN_USER_PIN and VTOKEN_ADMIN_PIN.\n";

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Walks the options after the state file.
class Options {
  public:
    explicit Options(std::span<const std::string_view> args) : args_(args) {}
    bool more() const { return pos_ < args_.size(); }
    std::string_view next() { return args_[pos_++]; }
    std::string_view value(std::string_view option) {
        if (!more()) throw UsageError(std::string(option) + " needs a value");
        return next();
    }

  private:
    std::span<const std::string_view> args_;
    std::size_t pos_ = 0;
};

std::uint64_t parseNumber(std::string_view text, std::uint64_t lowest, std::uint64_t highest,
                          std::string_view option) {
    std::uint64_t value = 0;
    const std::string copy(text);
    std::size_t used = 0;
    try {
        value = std::stoull(copy, &used, 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (copy.empty() || used != copy.size() || copy[0] == '-' || value < lowest ||
        value > highest) {
        throw UsageError(std::string(option) + ": expected a number from " +
                         std::to_string(lowest) + " to " + std::to_string(highest));
    }
    return value;
}

Bytes pinFromEnvironment(const char* name, std::string_view fallback) {
    const char* value = std::getenv(name);
    const std::string_view pin = value ? std::string_view(value) : fallback;
    return Bytes(pin.begin(), pin.end());
}

int init(std::span<const std::string_view> args, std::ostream& out) {
    if (args.empty()) throw UsageError("init needs STATE_FILE");
    const std::filesystem::path path(args[0]);
    ProvisionOptions options;
    Options opts(args.subspan(1));
    while (opts.more()) {
        const std::string_view option = opts.next();
        if (option == "--serial") {
            auto serial = fromHex(opts.value(option));
            if (!serial || serial->size() != kSerialLength) {
                throw UsageError("--serial: expected 20 hex digits");
            }
            std::copy(serial->begin(), serial->end(), options.serial.begin());
        } else if (option == "--label") {
            options.label = std::string(opts.value(option));
        } else if (option == "--generation") {
            options.generation =
                static_cast<std::uint8_t>(parseNumber(opts.value(option), 1, 2, option));
        } else if (option == "--max-block") {
            const std::string_view value = opts.value(option);
            options.largestBlockQuery = value != "none";
            if (options.largestBlockQuery) {
                options.maxBlock =
                    static_cast<std::uint32_t>(parseNumber(value, 0, 0xFFFFFFFF, option));
            }
        } else if (option == "--no-pin-counter-command") {
            options.pinCounterCommand = false;
        } else if (option == "--capacity") {
            options.capacity =
                static_cast<std::uint32_t>(parseNumber(opts.value(option), 0, 0xFFFF, option));
        } else {
            throw UsageError("init: unknown option " + std::string(option));
        }
    }
    options.userPin = pinFromEnvironment("VTOKEN_USER_PIN", "123456");
    options.adminPin = pinFromEnvironment("VTOKEN_ADMIN_PIN", "12345678");
    TokenState state;
    try {
        state = provision(options);
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    }
    saveStateFile(path, state);
    out << "provisioned " << path.string() << " (serial " << toHex(state.identity.serial) << ")\n";
    return 0;
}

std::string counterText(const TokenState& state, std::uint16_t dfFid) {
    auto df = state.files.child(FileSystem::kRoot, dfFid);
    auto file = df ? state.files.child(*df, kCounterFileId) : std::nullopt;
    if (!file || state.files.node(*file).body.size() < 2) return "none";
    const Bytes& body = state.files.node(*file).body;
    const auto one = [](std::uint8_t b) {
        return std::to_string(b & 0x0F) + "/" + std::to_string(b >> 4);
    };
    return "user " + one(body[0]) + " left, admin " + one(body[1]) + " left";
}

std::string lowerHex(ByteView bytes) {
    std::string hex = toHex(bytes);
    for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return hex;
}

int show(std::span<const std::string_view> args, std::ostream& out) {
    if (args.size() != 1) throw UsageError("show takes exactly STATE_FILE");
    const TokenState state = loadStateFile(std::filesystem::path(args[0]));
    const DeviceIdentity& id = state.identity;
    const std::size_t used = state.files.createdBytes();
    out << "serial: " << lowerHex(id.serial) << "\n"
        << "label: " << labelOf(state) << "\n"
        << "generation: " << int(id.generation) << "\n"
        << "max block: "
        << (id.largestBlockQuery ? std::to_string(id.maxBlock) : std::string("none (no query)"))
        << "\n"
        << "pin counter command: " << (id.pinCounterCommand ? "yes" : "no") << "\n"
        << "capacity: " << id.capacity << "\n"
        << "free: " << (id.capacity > used ? id.capacity - used : 0) << "\n";
    for (const ApplicationKeys& keys : state.keys) {
        out << "counters "
            << toHex(Bytes{static_cast<std::uint8_t>(keys.dfFid >> 8),
                           static_cast<std::uint8_t>(keys.dfFid)})
            << ": " << counterText(state, keys.dfFid) << "\n";
    }
    for (const FileNode& node : state.files.nodes()) {
        if (!node.created) continue;
        const FileNode& parent = state.files.node(node.parent);
        out << "created file: "
            << toHex(Bytes{std::uint8_t(parent.fid >> 8), std::uint8_t(parent.fid)}) << "/"
            << toHex(Bytes{std::uint8_t(node.fid >> 8), std::uint8_t(node.fid)}) << " "
            << node.body.size() << " bytes\n";
    }
    return 0;
}

// Generates RSA key pairs ahead of time for test suites: `run --rsa-key-pool FILE` hands them
// out instead of generating.
int keyPool(std::span<const std::string_view> args, std::ostream& out) {
    if (args.empty()) throw UsageError("key-pool needs FILE");
    const std::filesystem::path path(args[0]);
    std::map<unsigned, unsigned> count = {{1024, 16}, {2048, 16}};
    Options opts(args.subspan(1));
    while (opts.more()) {
        const std::string_view option = opts.next();
        if (option == "--rsa1024" || option == "--rsa2048") {
            count[option == "--rsa1024" ? 1024 : 2048] =
                static_cast<unsigned>(parseNumber(opts.value(option), 0, 1000, option));
        } else {
            throw UsageError("key-pool: unknown option " + std::string(option));
        }
    }
    writeRsaKeyPool(path, count);
    out << "wrote " << count[1024] << " RSA-1024 and " << count[2048] << " RSA-2048 key pairs to "
        << path.string() << "\n";
    return 0;
}

Server* runningServer = nullptr;

extern "C" void stopOnSignal(int) {
    if (runningServer) runningServer->requestStop();
}

// Blocks SIGTERM/SIGINT handling for as long as the server runs.
class StopSignals {
  public:
    explicit StopSignals(Server& server) {
        runningServer = &server;
        struct sigaction action {};
        action.sa_handler = stopOnSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGTERM, &action, &oldTerm_);
        sigaction(SIGINT, &action, &oldInt_);
    }
    ~StopSignals() {
        sigaction(SIGTERM, &oldTerm_, nullptr);
        sigaction(SIGINT, &oldInt_, nullptr);
        runningServer = nullptr;
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

  private:
    struct sigaction oldTerm_ {};
    struct sigaction oldInt_ {};
};

int run(std::span<const std::string_view> args) {
    if (args.empty()) throw UsageError("run needs STATE_FILE");
    const std::filesystem::path path(args[0]);
    ServerOptions serverOptions;
    std::vector<FrontEnd> frontEnds;
    std::optional<std::filesystem::path> tracePath;
    bool showSecrets = false;
    Sync sync = Sync::Full;
    std::optional<std::filesystem::path> keyPool;
    std::vector<ControlRequest> faults;
    Options opts(args.subspan(1));
    while (opts.more()) {
        const std::string_view option = opts.next();
        if (option == "--vpcd" || option == "--serve") {
            const std::string value(opts.value(option));
            try {
                frontEnds.push_back(
                    makeFrontEnd(option == "--vpcd" ? "vpcd:connect:" + value : value));
            } catch (const std::invalid_argument& e) {
                throw UsageError(std::string(option) + ": " + e.what());
            }
        } else if (option == "--trace") {
            tracePath = std::filesystem::path(opts.value(option));
        } else if (option == "--show-secrets") {
            showSecrets = true;
        } else if (option == "--no-sync") {
            sync = Sync::None;
        } else if (option == "--rsa-key-pool") {
            keyPool = std::filesystem::path(opts.value(option));
        } else if (option == "--control") {
            serverOptions.controlSocket = std::filesystem::path(opts.value(option));
        } else if (option == "--fault") {
            try {
                faults.push_back(parseControlRequest(opts.value(option)));
            } catch (const ControlSyntaxError& e) {
                throw UsageError(std::string("--fault: ") + e.what());
            }
        } else {
            throw UsageError("run: unknown option " + std::string(option));
        }
    }
    if (frontEnds.empty()) {
        throw UsageError("run needs a front-end: --vpcd HOST:PORT or --serve FRAMER:LINK:ADDRESS");
    }
    if (showSecrets && !tracePath) throw UsageError("--show-secrets needs --trace FILE");

    Token token(loadStateFile(path),
                [path, sync](const TokenState& state) { saveStateFile(path, state, sync); });
    if (keyPool) token.useRsaKeys(RsaKeyPool::load(*keyPool));
    std::optional<TraceWriter> trace;
    if (tracePath) trace.emplace(*tracePath, showSecrets);
    CardSession session(token, trace ? &*trace : nullptr);
    for (const ControlRequest& fault : faults) session.apply(fault);
    Server server(session, std::move(frontEnds), serverOptions);
    StopSignals signals(server);
    server.run();
    return 0;
}

}  // namespace

int runCli(std::span<const std::string_view> args, std::ostream& out, std::ostream& err) {
    try {
        if (args.empty()) throw UsageError("missing command");
        const std::string_view command = args[0];
        if (command == "init") return init(args.subspan(1), out);
        if (command == "run") return run(args.subspan(1));
        if (command == "show") return show(args.subspan(1), out);
        if (command == "key-pool") return keyPool(args.subspan(1), out);
        if (command == "--help" || command == "-h") {
            out << kUsage;
            return 0;
        }
        throw UsageError("unknown command " + std::string(command));
    } catch (const UsageError& e) {
        err << "vtoken: " << e.what() << "\n" << kUsage;
        return 2;
    } catch (const std::exception& e) {
        err << "vtoken: " << e.what() << "\n";
        return 1;
    }
}

}  // namespace vtoken

#include "bed.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "free_ports.h"
#include "pcsc_probe.h"

#ifndef TESTBED_VTOKEN
#define TESTBED_VTOKEN ""
#endif
// The folder where pcscd looks for USB reader drivers (pcsc-lite's usbdropdir).
#ifndef TESTBED_PCSC_DRIVERS
#define TESTBED_PCSC_DRIVERS "/usr/lib/pcsc/drivers"
#endif

namespace testbed {
namespace {

using namespace std::chrono_literals;

constexpr int kAttempts = 3;
constexpr auto kComeUpLimit = 15000ms;
constexpr const char* kFolderPrefix = "tokenbed.";
constexpr const char* kVpcdPackage = "vsmartcard-vpcd";

std::filesystem::path programPath(const char* variable, const char* built) {
    if (const char* value = std::getenv(variable); value != nullptr && *value != '\0') {
        return value;
    }
    if (*built == '\0') {
        throw std::runtime_error(std::string("no program known: set ") + variable);
    }
    return built;
}

std::filesystem::path firstExisting(std::initializer_list<const char*> candidates) {
    for (const char* c : candidates) {
        if (std::filesystem::exists(c)) return c;
    }
    throw std::runtime_error(std::string("not installed: ") + *candidates.begin());
}

// vpcd's pcscd driver, wherever the installed package put it (the folder differs between
// distributions and releases). TESTBED_VPCD_DRIVER overrides the package's file list.
std::filesystem::path vpcdDriver() {
    if (const char* value = std::getenv("TESTBED_VPCD_DRIVER"); value != nullptr && *value) {
        if (!std::filesystem::exists(value)) {
            throw std::runtime_error(std::string("TESTBED_VPCD_DRIVER names no file: ") + value);
        }
        return value;
    }
    SpawnOptions options;
    options.argv = {"dpkg-query", "-L", kVpcdPackage};
    options.captureStdout = true;
    ChildProcess query = ChildProcess::spawn(options);
    std::filesystem::path found;
    while (auto line = query.readLine(10000ms)) {
        const std::filesystem::path path = *line;
        if (path.filename() == "libifdvpcd.so" && std::filesystem::is_regular_file(path)) {
            found = path;
        }
    }
    query.waitExit(5000ms);
    if (found.empty()) {
        throw std::runtime_error(std::string("the package ") + kVpcdPackage +
                                 " lists no libifdvpcd.so: run scripts/setup, or set "
                                 "TESTBED_VPCD_DRIVER to the driver's path");
    }
    return found;
}

// A zombie counts as dead: a killed test process may wait a while for its reaper.
bool processAlive(int pid) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');  // the command name may hold spaces and parentheses
    return close == std::string::npos || line.size() < close + 3 || line[close + 2] != 'Z';
}

// A test process killed by SIGKILL cannot clean up after itself; the next bed removes what
// such a process left behind (its children died with it through PR_SET_PDEATHSIG).
void removeStaleFolders(const std::filesystem::path& parent) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(parent, ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(kFolderPrefix)) continue;
        const std::string rest = name.substr(std::strlen(kFolderPrefix));
        const int pid = std::atoi(rest.c_str());
        if (pid > 0 && !processAlive(pid)) {
            std::filesystem::remove_all(entry.path(), ec);
        }
    }
}

std::filesystem::path makeFolder() {
    const char* tmp = std::getenv("TMPDIR");
    const std::filesystem::path parent = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    removeStaleFolders(parent);
    std::string pattern =
        (parent / (kFolderPrefix + std::to_string(::getpid()) + ".XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a folder under " + parent.string());
    }
    return pattern;
}

std::string tail(const std::filesystem::path& path, std::size_t bytes = 2000) {
    std::ifstream in(path);
    std::string text(std::istreambuf_iterator<char>(in), {});
    return text.size() > bytes ? text.substr(text.size() - bytes) : text;
}

bool g_bedStarted = false;

}  // namespace

Bed::Bed(BedLayout layout, std::filesystem::path folder)
    : layout_(std::move(layout)), folder_(std::move(folder)) {}

Bed::~Bed() {
    tokens_.clear();
    if (pcscd_) pcscd_->stop();
    pcscd_.reset();
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
    // The shared-memory objects behind the locks of the namespace this bed made up.
    if (!lockNamespace_.empty()) {
        const std::string prefix = "tarvex." + lockNamespace_ + ".";
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
            if (entry.path().filename().string().starts_with(prefix)) {
                std::filesystem::remove(entry.path(), ec);
            }
        }
    }
}

std::string Bed::readerName(std::size_t entry, int slot) const {
    return layout_.readerEntries.at(entry) + (slot == 0 ? " 00 00" : " 00 01");
}

std::unique_ptr<Bed> Bed::start(const BedLayout& layout) {
    if (g_bedStarted) {
        throw std::logic_error("one test bed per process: pcsc-lite keeps the first socket");
    }
    for (const TokenSpec& t : layout.tokens) {
        if (t.transports.empty()) throw std::invalid_argument("token without a transport");
        if (!t.on(Transport::Pcsc)) continue;
        if (t.readerEntry >= layout.readerEntries.size() || (t.slot != 0 && t.slot != 1)) {
            throw std::invalid_argument("token placed in a reader that the layout lacks");
        }
    }
    const std::filesystem::path vtoken = programPath("TESTBED_VTOKEN", TESTBED_VTOKEN);
    std::unique_ptr<Bed> bed(new Bed(layout, makeFolder()));
    g_bedStarted = true;

    const std::filesystem::path& dir = bed->folder_;
    std::filesystem::create_directories(dir / "run");
    std::filesystem::create_directories(dir / "nodrivers");
    std::filesystem::create_directories(dir / "dev");
    // The driver must stay reachable once the drivers folder is masked. vpcd keeps its
    // sockets in one table indexed by the slot alone ("00 00" or "00 01"), so two entries
    // served by one loaded copy would share their cards: each entry gets a copy of its own,
    // which the loader maps separately.
    const std::filesystem::path driver = vpcdDriver();
    for (std::size_t i = 0; i < layout.readerEntries.size(); ++i) {
        std::filesystem::copy_file(driver, bed->driverCopy(i));
    }
    ::setenv("PCSCLITE_CSOCK_NAME", bed->socketPath().c_str(), 1);
    // Per-device locks are named after the ATR, which parallel beds may share.
    if (std::getenv("TOKEN_PLATFORM_NAMESPACE") == nullptr) {
        bed->lockNamespace_ = "bed" + std::to_string(::getpid());
        ::setenv("TOKEN_PLATFORM_NAMESPACE", bed->lockNamespace_.c_str(), 1);
    }

    for (std::size_t i = 0; i < layout.tokens.size(); ++i) {
        const TokenSpec& spec = layout.tokens[i];
        bed->tokens_.push_back(std::make_unique<VirtualToken>(
            vtoken, dir / ("token" + std::to_string(i)), spec,
            spec.on(Transport::Pcsc) ? bed->readerName(spec.readerEntry, spec.slot) : ""));
        bed->tokens_.back()->provision();
    }

    std::string problem;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        // A port taken between our check and vpcd's bind only costs another attempt.
        const std::vector<int> bases = freePortPairs(static_cast<int>(layout.readerEntries.size()));
        bed->placeTokens(bases);
        if (!layout.readerEntries.empty()) {
            bed->writeReaderConf(bases);
            bed->startDaemon();
        }
        try {
            for (auto& token : bed->tokens_) token->start();
            if (bed->comesUp(kComeUpLimit, problem)) return bed;
        } catch (const std::runtime_error& e) {
            problem = e.what();  // a loopback port taken meanwhile, say
        }
        for (auto& token : bed->tokens_) token->stop();
        bed->stopDaemon();
    }
    throw std::runtime_error("test bed did not come up: " + problem + "\npcscd log:\n" +
                             tail(dir / "pcscd.log"));
}

void Bed::placeTokens(const std::vector<int>& readerPorts) {
    std::size_t loopbacks = 0;
    for (const auto& token : tokens_) {
        if (token->spec().on(Transport::SdVendor) || token->spec().on(Transport::SdDriver)) {
            ++loopbacks;
        }
    }
    const std::vector<int> loopbackPorts = freePortPairs(static_cast<int>(loopbacks));
    std::size_t nextPort = 0;
    std::string vendorCards;
    std::string driverCards;
    for (std::size_t i = 0; i < tokens_.size(); ++i) {
        VirtualToken& token = *tokens_[i];
        const TokenSpec& spec = token.spec();
        Endpoints& at = token.endpoints();
        at = Endpoints{};
        if (spec.on(Transport::Pcsc)) at.vpcdPort = readerPorts.at(spec.readerEntry) + spec.slot;
        const bool vendor = spec.on(Transport::SdVendor);
        const bool driver = spec.on(Transport::SdDriver);
        if (vendor || driver) {
            at.loopbackPort = loopbackPorts.at(nextPort++);
            const std::string entry =
                "token" + std::to_string(i) + "=127.0.0.1:" + std::to_string(*at.loopbackPort);
            if (vendor) vendorCards += (vendorCards.empty() ? "" : ";") + entry;
            if (driver) driverCards += (driverCards.empty() ? "" : ";") + entry;
        }
        if (spec.on(Transport::DriverNode)) {
            at.devicePath = folder_ / "dev" / ("tarvexkey" + std::to_string(i));
        }
    }
    ::setenv(kSdVendorVariable, vendorCards.c_str(), 1);
    ::setenv(kSdDriverVariable, driverCards.c_str(), 1);
    ::setenv(kDriverDevicesVariable, devicePattern().c_str(), 1);
    vendorCards_ = vendorCards;
    driverCards_ = driverCards;
}

std::string Bed::cardList(Transport path) const {
    return path == Transport::SdDriver ? driverCards_ : vendorCards_;
}

void Bed::writeReaderConf(const std::vector<int>& ports) const {
    std::ofstream conf(folder_ / "reader.conf", std::ios::trunc);
    for (std::size_t i = 0; i < layout_.readerEntries.size(); ++i) {
        conf << "FRIENDLYNAME \"" << layout_.readerEntries[i] << "\"\n"
             << "DEVICENAME /dev/null:" << ports[i] << "\n"
             << "LIBPATH " << driverCopy(i).string() << "\n"
             << "CHANNELID " << ports[i] << "\n\n";
    }
}

void Bed::startDaemon() {
    // pcscd ignores PCSCLITE_CSOCK_NAME: it gets a /run of its own in a mount namespace
    // (private propagation, so nothing leaks out), and an empty drivers folder so that no
    // real reader of this machine joins the bed.
    static constexpr const char* kScript =
        "mount --bind \"$1/run\" /run && "
        "mount --bind \"$1/nodrivers\" \"$3\" && "
        "exec \"$2\" --foreground --config \"$1/reader.conf\"";
    std::vector<std::string> argv = {"unshare", "-m"};
    if (::geteuid() != 0) argv = {"unshare", "-r", "-m"};
    for (const char* a : {"sh", "-c", kScript, "sh"}) argv.emplace_back(a);
    argv.push_back(folder_.string());
    argv.push_back(firstExisting({"/usr/sbin/pcscd", "/usr/bin/pcscd"}).string());
    argv.push_back(TESTBED_PCSC_DRIVERS);
    std::filesystem::remove(socketPath());
    SpawnOptions options;
    options.argv = argv;
    options.logFile = folder_ / "pcscd.log";
    pcscd_ = ChildProcess::spawn(options);
}

void Bed::stopDaemon() {
    if (pcscd_) pcscd_->stop();
    pcscd_.reset();
}

void Bed::restartDaemon() {
    if (layout_.readerEntries.empty()) return;
    stopDaemon();
    startDaemon();
    std::string problem;
    if (!comesUp(kComeUpLimit, problem)) {
        throw std::runtime_error("pcscd did not come back: " + problem);
    }
}

bool Bed::comesUp(std::chrono::milliseconds limit, std::string& problem) {
    // The other front-ends listen before the token's control socket answers.
    if (layout_.readerEntries.empty()) return true;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < layout_.readerEntries.size(); ++i) {
        expected.push_back(readerName(i, 0));
        expected.push_back(readerName(i, 1));
    }
    while (std::chrono::steady_clock::now() < deadline) {
        if (!pcscd_->running()) {
            problem = "pcscd ended";
            return false;
        }
        if (readers() == expected) break;
        std::this_thread::sleep_for(20ms);
    }
    if (readers() != expected) {
        problem = "pcscd does not list the configured readers";
        return false;
    }
    for (auto& token : tokens_) {
        if (token->readerName().empty()) continue;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!waitForCard(token->readerName(), true, left)) {
            problem = "no card in " + token->readerName();
            return false;
        }
    }
    return true;
}

std::vector<std::string> Bed::readers() const {
    try {
        return PcscProbe(200ms).readers();
    } catch (const std::runtime_error&) {
        return {};
    }
}

std::optional<std::vector<std::uint8_t>> Bed::atr(const std::string& reader) const {
    try {
        return PcscProbe(200ms).atr(reader);
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

bool Bed::waitForCard(const std::string& reader, bool present,
                      std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (atr(reader).has_value() == present) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

}  // namespace testbed

#include "virtual_token.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace testbed {
namespace {

using namespace std::chrono_literals;

constexpr auto kControlLimit = 5000ms;

class Socket {
  public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

std::string readLog(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

bool TokenSpec::on(Transport t) const {
    return std::find(transports.begin(), transports.end(), t) != transports.end();
}

VirtualToken::VirtualToken(std::filesystem::path program, std::filesystem::path folder,
                           TokenSpec spec, std::string readerName)
    : program_(std::move(program)),
      folder_(std::move(folder)),
      spec_(std::move(spec)),
      readerName_(std::move(readerName)) {
    std::filesystem::create_directories(folder_);
}

VirtualToken::~VirtualToken() {
    stop();
}

void VirtualToken::provision() {
    if (std::filesystem::exists(statePath())) return;
    SpawnOptions options;
    options.argv = {program_,    "init",         statePath(),
                    "--serial",  spec_.serial,   "--label",
                    spec_.label, "--generation", std::to_string(spec_.generation)};
    options.logFile = folder_ / "log";
    ChildProcess init = ChildProcess::spawn(options);
    const auto code = init.waitExit(20000ms);
    if (code != 0) {
        throw std::runtime_error("vtoken init failed in " + folder_.string() + ": " +
                                 readLog(folder_ / "log"));
    }
}

void VirtualToken::start(std::optional<int> vpcdPort) {
    if (vpcdPort) endpoints_.vpcdPort = *vpcdPort;
    stop();
    std::filesystem::remove(controlPath());
    SpawnOptions options;
    options.argv = {program_,    "run",       statePath(),  "--trace",
                    tracePath(), "--control", controlPath()};
    if (endpoints_.vpcdPort) {
        options.argv.push_back("--vpcd");
        options.argv.push_back("127.0.0.1:" + std::to_string(*endpoints_.vpcdPort));
    }
    if (endpoints_.loopbackPort) {
        options.argv.push_back("--serve");
        options.argv.push_back("sdcard:listen:127.0.0.1:" +
                               std::to_string(*endpoints_.loopbackPort));
    }
    if (endpoints_.devicePath) {
        options.argv.push_back("--serve");
        options.argv.push_back("driver:pty:" + endpoints_.devicePath->string());
    }
    if (spec_.showSecrets) options.argv.push_back("--show-secrets");
    // A bed's state lives as long as its tests: waiting for the disk at every change only
    // slows them.
    options.argv.push_back("--no-sync");
#ifdef TESTBED_RSA_KEY_POOL
    options.argv.push_back("--rsa-key-pool");
    options.argv.push_back(TESTBED_RSA_KEY_POOL);
#endif
    options.logFile = folder_ / "log";
    process_ = ChildProcess::spawn(options);
    const auto deadline = std::chrono::steady_clock::now() + 10000ms;
    for (;;) {
        try {
            if (control("ping") == "ok") return;
        } catch (const std::runtime_error&) {
            // not listening yet
        }
        if (!process_->running() || std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("vtoken run did not come up in " + folder_.string() + ": " +
                                     readLog(folder_ / "log"));
        }
        std::this_thread::sleep_for(10ms);
    }
}

void VirtualToken::stop() {
    if (process_) process_->stop();
    process_.reset();
}

bool VirtualToken::running() {
    return process_ && process_->running();
}

std::vector<std::string> VirtualToken::traceLines() const {
    std::ifstream in(tracePath(), std::ios::binary);
    std::vector<std::string> lines;
    if (!in) return lines;
    in.seekg(static_cast<std::streamoff>(traceOffset_));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

// The token keeps appending to the same file, so "clearing" remembers where the new part
// starts instead of truncating under its feet.
void VirtualToken::clearTrace() {
    std::error_code ec;
    const auto size = std::filesystem::file_size(tracePath(), ec);
    traceOffset_ = ec ? 0 : size;
}

std::string VirtualToken::control(std::string_view request) const {
    Socket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket.get() < 0) throw std::runtime_error("control: socket failed");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = controlPath();
    if (path.size() >= sizeof address.sun_path) throw std::runtime_error("control: path too long");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("control: cannot connect to " + path);
    }
    const std::string line = std::string(request) + "\n";
    if (::send(socket.get(), line.data(), line.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(line.size())) {
        throw std::runtime_error("control: send failed");
    }
    std::string reply;
    const auto deadline = std::chrono::steady_clock::now() + kControlLimit;
    while (reply.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{socket.get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            throw std::runtime_error("control: no answer to " + std::string(request));
        }
        char chunk[256];
        const ssize_t n = ::recv(socket.get(), chunk, sizeof chunk, 0);
        if (n <= 0) break;
        reply.append(chunk, static_cast<std::size_t>(n));
    }
    if (reply.find('\n') == std::string::npos) {
        throw std::runtime_error("control: connection closed after " + std::string(request));
    }
    return reply.substr(0, reply.find('\n'));
}

}  // namespace testbed

#include "loopback_disks.h"

#include <array>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/loopback_stream.h"
#include "platform/module_path.h"
#include "vendor_command.h"

namespace diskgate::loopback {
namespace {

constexpr SystemError kErrorFileNotFound = 2;          // ERROR_FILE_NOT_FOUND
constexpr SystemError kErrorNotConnected = 1167;       // ERROR_DEVICE_NOT_CONNECTED
constexpr std::chrono::milliseconds kIoLimit{10'000};  // a stalled stand-in is a broken test
constexpr std::uint8_t kGoodStatus = 0;

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint32_t get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

template <typename T>
bool parseNumber(std::string_view text, T& out) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

// The connection to one virtual disk. A disk has one host, the service: every handle the
// service opens on the disk shares the connection, and the token keeps one answer for it.
class DiskConnection {
  public:
    explicit DiskConnection(std::unique_ptr<platform::LoopbackStream> stream)
        : stream_(std::move(stream)) {}
    bool alive() const { return stream_ != nullptr; }

    Transfer passThrough(Direction direction, std::span<std::uint8_t> data) {
        if (!stream_ || data.size() > kMaxVendorTransfer) return {kErrorNotConnected, 0};
        const auto block = vendorCommandBlock(direction, static_cast<std::uint16_t>(data.size()));
        std::vector<std::uint8_t> message(block.begin(), block.end());
        const bool sending = direction == Direction::Send;
        put32(message, sending ? static_cast<std::uint32_t>(data.size()) : 0);
        if (sending) message.insert(message.end(), data.begin(), data.end());
        std::array<std::uint8_t, 5> header{};
        using platform::IoResult;
        if (stream_->sendAll(message, kIoLimit) != IoResult::Done ||
            stream_->receiveExactly(header, kIoLimit) != IoResult::Done) {
            return lost();
        }
        const std::uint32_t length = get32(header.data() + 1);
        if (length > (sending ? 0 : data.size())) return lost();
        if (stream_->receiveExactly(data.first(length), kIoLimit) != IoResult::Done) return lost();
        if (header[0] != kGoodStatus) return {kErrorIoDevice, 0};
        return {kSuccess, sending ? data.size() : length};
    }

  private:
    // The stand-in went away (the card was pulled) or broke the framing: the disk is gone for
    // every handle on this connection.
    Transfer lost() {
        stream_.reset();
        return {kErrorNotConnected, 0};
    }

    std::unique_ptr<platform::LoopbackStream> stream_;
};

namespace {

class LoopbackDisk final : public OpenDisk {
  public:
    explicit LoopbackDisk(std::shared_ptr<DiskConnection> connection)
        : connection_(std::move(connection)) {}
    Transfer passThrough(Direction direction, std::span<std::uint8_t> data) override {
        return connection_->passThrough(direction, data);
    }

  private:
    std::shared_ptr<DiskConnection> connection_;
};

}  // namespace

std::vector<VirtualDisk> parseDiskList(std::string_view text) {
    std::vector<VirtualDisk> disks;
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string path, time, address, extra;
        // Device paths hold '#' themselves: only a line that starts with one is a comment.
        if (!(fields >> path >> time >> address) || path[0] == '#' || (fields >> extra)) continue;
        VirtualDisk disk;
        disk.path = path;
        const auto colon = address.rfind(':');
        if (colon == std::string::npos || colon == 0) continue;
        disk.host = address.substr(0, colon);
        if (!parseNumber(time, disk.plugIn) ||
            !parseNumber(std::string_view(address).substr(colon + 1), disk.port) ||
            disk.port == 0) {
            continue;
        }
        disks.push_back(disk);
    }
    return disks;
}

std::filesystem::path diskListPath() {
    if (const char* named = std::getenv("DISKGATE_VIRTUAL_DISKS"); named && *named) return named;
    return platform::moduleFolder(reinterpret_cast<const void*>(&diskListPath)) /
           "virtual-disks.txt";
}

LoopbackDeviceIo::LoopbackDeviceIo(std::filesystem::path listPath)
    : listPath_(std::move(listPath)) {}

DiskListing LoopbackDeviceIo::listDisks() {
    std::ifstream in(listPath_);
    std::stringstream text;
    text << in.rdbuf();
    disks_ = parseDiskList(text.str());
    DiskListing listing;
    for (const VirtualDisk& d : disks_) listing.disks.push_back({d.path, d.path});
    return listing;
}

PlugIn LoopbackDeviceIo::plugInOf(const DiskEntry& disk) {
    const std::optional<VirtualDisk> found = find(disk.path);
    if (!found) return {PlugIn::Kind::Unknown, 0, kSuccess};
    return {PlugIn::Kind::Time, found->plugIn, kSuccess};
}

OpenResult LoopbackDeviceIo::open(const std::string& path) {
    const std::optional<VirtualDisk> found = find(path);
    if (!found) return {nullptr, kErrorFileNotFound};
    std::shared_ptr<DiskConnection> connection = connections_[path].lock();
    if (!connection || !connection->alive()) {
        auto stream = platform::LoopbackStream::connect(found->host, found->port, kIoLimit);
        if (!stream) return {nullptr, kErrorFileNotFound};
        connection = std::make_shared<DiskConnection>(std::move(stream));
        connections_[path] = connection;
    }
    return {std::make_unique<LoopbackDisk>(std::move(connection)), kSuccess};
}

std::optional<VirtualDisk> LoopbackDeviceIo::find(const std::string& path) {
    for (const VirtualDisk& d : disks_) {
        if (d.path == path) return d;
    }
    return std::nullopt;
}

}  // namespace diskgate::loopback

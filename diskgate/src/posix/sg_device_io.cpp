#include "sg_device_io.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>

#include "posix_errors.h"
#include "vendor_command.h"

namespace diskgate::posix {
namespace {

constexpr std::size_t kSenseLength = 32;
// 100 ns units from 1601 to 1970, so that times read like the Windows ones.
constexpr std::uint64_t kUnixEpochIn100ns = 116444736000000000ULL;

std::string readLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string trimmed(std::string s) {
    const auto space = [](unsigned char c) { return c == ' ' || c == '\t' || c == '\n'; };
    while (!s.empty() && space(s.back())) s.pop_back();
    std::size_t first = 0;
    while (first < s.size() && space(s[first])) ++first;
    return s.substr(first);
}

// sg10 after sg9: the number, not the text, gives the order.
long deviceNumber(const std::string& name) {
    long n = -1;
    std::from_chars(name.data() + 2, name.data() + name.size(), n);
    return n;
}

class SgDisk final : public OpenDisk {
  public:
    explicit SgDisk(int fd) : fd_(fd) {}
    ~SgDisk() override { ::close(fd_); }

    Transfer passThrough(Direction direction, std::span<std::uint8_t> data) override {
        if (data.size() > kMaxVendorTransfer) return {87, 0};
        auto block = vendorCommandBlock(direction, static_cast<std::uint16_t>(data.size()));
        std::array<std::uint8_t, kSenseLength> sense{};
        sg_io_hdr_t io{};
        io.interface_id = 'S';
        io.cmd_len = static_cast<unsigned char>(block.size());
        io.cmdp = block.data();
        io.dxfer_direction = direction == Direction::Send ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;
        io.dxfer_len = static_cast<unsigned int>(data.size());
        io.dxferp = data.data();
        io.mx_sb_len = static_cast<unsigned char>(sense.size());
        io.sbp = sense.data();
        io.timeout = kPassThroughTimeoutSeconds * 1000;  // milliseconds
        if (::ioctl(fd_, SG_IO, &io) != 0) return {fromErrno(errno), 0};
        // Any SCSI, host or driver status other than "good" is a failed command.
        if ((io.info & SG_INFO_OK_MASK) != SG_INFO_OK) return {kErrorIoDevice, 0};
        const int resid = std::clamp(io.resid, 0, static_cast<int>(data.size()));
        return {kSuccess, data.size() - static_cast<std::size_t>(resid)};
    }

  private:
    int fd_;
};

}  // namespace

std::string identityOf(std::string vendor, std::string model) {
    std::string identity =
        "VEN_" + trimmed(std::move(vendor)) + "&PROD_" + trimmed(std::move(model));
    std::replace(identity.begin(), identity.end(), ' ', '_');
    return identity;
}

SgDeviceIo::SgDeviceIo(std::filesystem::path sysfs, std::filesystem::path dev)
    : sysfs_(std::move(sysfs)), dev_(std::move(dev)) {}

DiskListing SgDeviceIo::listDisks() {
    DiskListing listing;
    std::error_code error;
    const std::filesystem::path classDir = sysfs_ / "class" / "scsi_generic";
    // Without the sg driver there are simply no such devices.
    if (!std::filesystem::is_directory(classDir, error)) return listing;
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(classDir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("sg", 0) == 0 && deviceNumber(name) >= 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return deviceNumber(a) < deviceNumber(b);
    });
    for (const std::string& name : names) {
        const std::filesystem::path device = classDir / name / "device";
        listing.disks.push_back({(dev_ / name).string(), identityOf(readLine(device / "vendor"),
                                                                    readLine(device / "model"))});
    }
    return listing;
}

PlugIn SgDeviceIo::plugInOf(const DiskEntry& disk) {
    struct stat st {};
    if (::stat(disk.path.c_str(), &st) != 0) return {PlugIn::Kind::Unknown, 0, kSuccess};
    const std::uint64_t since1970 = static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 10'000'000ULL +
                                    static_cast<std::uint64_t>(st.st_mtim.tv_nsec) / 100;
    return {PlugIn::Kind::Time, kUnixEpochIn100ns + since1970, kSuccess};
}

OpenResult SgDeviceIo::open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return {nullptr, fromErrno(errno)};
    return {std::make_unique<SgDisk>(fd), kSuccess};
}

}  // namespace diskgate::posix

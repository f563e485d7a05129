// What the device layers and the Linux installer read and write, without the hardware: the
// registry key and mass-storage list of the Windows layer as text, the test build's disk list,
// SCSI generic devices in a made-up sysfs, and the systemd unit in a folder of the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "disk_registry.h"
#include "loopback_disks.h"
#include "posix/sg_device_io.h"
#include "posix/systemd_unit.h"

namespace {

namespace fs = std::filesystem;
using diskgate::PlugIn;

class TempFolder {
  public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "diskgate-test-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

void writeFile(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

std::string readFile(const fs::path& file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(DiskRegistry, InterfaceKeyTurnsThePathPrefixIntoNumberSigns) {
    EXPECT_EQ(diskgate::interfaceKeyOf("\\\\?\\usbstor#disk&ven_tarvex&prod_usb_key#7&1#{53f56307-"
                                       "b6bf-11d0-94f2-00a0c91efb8b}"),
              "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{53f56307-b6bf-11d0-94f2-"
              "00a0c91efb8b}\\##?#usbstor#disk&ven_tarvex&prod_usb_key#7&1#{53f56307-b6bf-11d0-"
              "94f2-00a0c91efb8b}\\Control");
}

TEST(DiskRegistry, PlaceAmongTheTokensUsbDevices) {
    const std::vector<std::string> listed = {
        "USB\\VID_0781&PID_5567\\4C53",  // another maker's stick
        "usb\\vid_4612&pid_04b4\\0001",  // first token (letter case does not matter)
        "USB\\VID_4612&PID_04B4\\0002",
        "",  // a value that could not be read
        "USB\\VID_4612&PID_04B4\\0003"};
    struct Case {
        std::string parent;
        PlugIn::Kind kind;
        std::uint64_t place;
    };
    const std::vector<Case> cases = {
        {"USB\\VID_4612&PID_04B4\\0001", PlugIn::Kind::Position, 0},
        {"usb\\vid_4612&pid_04b4\\0003", PlugIn::Kind::Position, 2},
        {"USB\\VID_4612&PID_04B4\\0009", PlugIn::Kind::Unknown, 0},
        // Listed before any of the token's: it has no place.
        {"USB\\VID_0781&PID_5567\\4C53", PlugIn::Kind::Unknown, 0},
    };
    for (const Case& c : cases) {
        const PlugIn p = diskgate::placeAmongTokenDevices(listed, c.parent);
        EXPECT_EQ(p.kind, c.kind) << c.parent;
        if (c.kind == PlugIn::Kind::Position) {
            EXPECT_EQ(p.value, c.place) << c.parent;
        }
    }
}

TEST(LoopbackDiskList, KeepsWellFormedLinesOnly) {
    const auto disks = diskgate::loopback::parseDiskList(
        "# a comment\n"
        "\\\\?\\usbstor#disk#1 100 127.0.0.1:4000\n"
        "  \\\\?\\usbstor#disk#2   200   localhost:4001  \r\n"
        "missing-port 1 127.0.0.1\n"
        "port-zero 1 127.0.0.1:0\n"
        "bad-time x1 127.0.0.1:4002\n"
        "too many fields 127.0.0.1:4003\n"
        "\n");
    ASSERT_EQ(disks.size(), 2u);
    EXPECT_EQ(disks[0].path, "\\\\?\\usbstor#disk#1");
    EXPECT_EQ(disks[0].plugIn, 100u);
    EXPECT_EQ(disks[0].host, "127.0.0.1");
    EXPECT_EQ(disks[0].port, 4000);
    EXPECT_EQ(disks[1].path, "\\\\?\\usbstor#disk#2");
    EXPECT_EQ(disks[1].host, "localhost");
    EXPECT_EQ(disks[1].port, 4001);
}

// A made-up sysfs with SCSI generic devices, and device nodes that are plain files.
class SgLayer : public ::testing::Test {
  protected:
    void addDevice(const std::string& name, const std::string& vendor, const std::string& model,
                   std::time_t madeAt) {
        const fs::path device = folder.path() / "sys/class/scsi_generic" / name / "device";
        writeFile(device / "vendor", vendor + "\n");
        writeFile(device / "model", model + "\n");
        const fs::path node = folder.path() / "dev" / name;
        writeFile(node, "");
        const timespec times[2] = {{madeAt, 0}, {madeAt, 0}};
        ::utimensat(AT_FDCWD, node.c_str(), times, 0);
    }
    diskgate::posix::SgDeviceIo io() {
        return diskgate::posix::SgDeviceIo(folder.path() / "sys", folder.path() / "dev");
    }
    TempFolder folder;
};

TEST_F(SgLayer, ListsDevicesInNumberOrderWithAnIdentityLikeTheWindowsPath) {
    addDevice("sg10", "TARVEX  ", "USB KEY         ", 1000);
    addDevice("sg2", "ATA     ", "SAMSUNG SSD 860 ", 2000);
    addDevice("sg9", "Tarvex", "USB Key", 3000);
    auto layer = io();
    const diskgate::DiskListing listing = layer.listDisks();
    ASSERT_EQ(listing.disks.size(), 3u);
    EXPECT_EQ(listing.endedWith, 0u);
    const fs::path dev = folder.path() / "dev";
    EXPECT_EQ(listing.disks[0].path, (dev / "sg2").string());
    EXPECT_EQ(listing.disks[0].identity, "VEN_ATA&PROD_SAMSUNG_SSD_860");
    EXPECT_EQ(listing.disks[1].path, (dev / "sg9").string());
    EXPECT_EQ(listing.disks[1].identity, "VEN_Tarvex&PROD_USB_Key");
    EXPECT_EQ(listing.disks[2].identity, "VEN_TARVEX&PROD_USB_KEY");
}

TEST_F(SgLayer, PlugInTimeIsWhenTheDeviceNodeWasMade) {
    addDevice("sg0", "TARVEX", "USB KEY", 1000);
    addDevice("sg1", "TARVEX", "USB KEY", 500);
    auto layer = io();
    const auto listing = layer.listDisks();
    const PlugIn first = layer.plugInOf(listing.disks[0]);
    const PlugIn second = layer.plugInOf(listing.disks[1]);
    ASSERT_EQ(first.kind, PlugIn::Kind::Time);
    ASSERT_EQ(second.kind, PlugIn::Kind::Time);
    EXPECT_GT(first.value, second.value);
    // 100 ns units since 1601, as the Windows times.
    EXPECT_EQ(first.value, 116444736000000000ULL + 1000ULL * 10'000'000ULL);
    EXPECT_EQ(layer.plugInOf({(folder.path() / "dev/sg7").string(), ""}).kind,
              PlugIn::Kind::Unknown);
}

TEST_F(SgLayer, NoDriverMeansNoDevicesAndOpenFailuresAreSystemErrors) {
    auto layer = io();
    EXPECT_TRUE(layer.listDisks().disks.empty());
    EXPECT_EQ(layer.listDisks().endedWith, 0u);
    EXPECT_EQ(layer.open((folder.path() / "dev/sg0").string()).error, 2u);
    // A file that is not a SCSI generic device opens, but takes no pass-through.
    addDevice("sg0", "TARVEX", "USB KEY", 1);
    diskgate::OpenResult opened = layer.open((folder.path() / "dev/sg0").string());
    ASSERT_NE(opened.disk, nullptr);
    std::uint8_t data[5] = {0xBF, 0xC8, 0x00, 0x00, 0x0F};
    const diskgate::Transfer t = opened.disk->passThrough(diskgate::Direction::Send, data);
    EXPECT_EQ(t.error, 1u);  // ERROR_INVALID_FUNCTION, from ENOTTY
    EXPECT_EQ(t.transferred, 0u);
}

class Systemd : public ::testing::Test {
  protected:
    diskgate::posix::SystemdSetup setup() {
        diskgate::posix::SystemdSetup s;
        s.unitDirectory = folder.path();
        s.program = "/usr/local/sbin/diskgate";
        s.systemctl = [this](const std::vector<std::string>& args) {
            std::string line;
            for (const std::string& a : args) line += (line.empty() ? "" : " ") + a;
            calls.push_back(line);
            auto refusal = refusals.find(args.front());
            return refusal == refusals.end() ? 0 : refusal->second;
        };
        return s;
    }
    fs::path unit() const { return folder.path() / "diskgate.service"; }

    TempFolder folder;
    std::vector<std::string> calls;
    std::map<std::string, int> refusals;  // systemctl verb -> exit code
};

TEST_F(Systemd, InstallWritesAndEnablesTheUnitOnce) {
    auto outcome = diskgate::posix::installUnit(setup());
    EXPECT_TRUE(outcome.installed);
    EXPECT_EQ(calls, (std::vector<std::string>{"daemon-reload", "enable diskgate.service"}));
    const std::string text = readFile(unit());
    EXPECT_NE(text.find("ExecStart=/usr/local/sbin/diskgate\n"), std::string::npos) << text;
    EXPECT_NE(text.find("WantedBy=multi-user.target\n"), std::string::npos) << text;
    EXPECT_EQ(fs::status(unit()).permissions() & fs::perms::all, fs::perms(0644));
    // The second time: the code of a service that exists, and nothing changed.
    calls.clear();
    outcome = diskgate::posix::installUnit(setup());
    EXPECT_FALSE(outcome.installed);
    EXPECT_EQ(outcome.createError, 1073u);
    EXPECT_TRUE(calls.empty());
}

TEST_F(Systemd, InstallRefusedBySystemctlLeavesNoUnit) {
    refusals["enable"] = 1;
    const auto outcome = diskgate::posix::installUnit(setup());
    EXPECT_FALSE(outcome.installed);
    EXPECT_EQ(outcome.createError, 1u);
    EXPECT_FALSE(fs::exists(unit()));
}

TEST_F(Systemd, InstallWithoutSystemdFailsWithoutACode) {
    refusals["daemon-reload"] = 127;
    auto outcome = diskgate::posix::installUnit(setup());
    EXPECT_FALSE(outcome.installed);
    EXPECT_FALSE(outcome.createError.has_value());
    EXPECT_FALSE(fs::exists(unit()));
    auto elsewhere = setup();
    elsewhere.unitDirectory = folder.path() / "missing";
    outcome = diskgate::posix::installUnit(elsewhere);
    EXPECT_FALSE(outcome.installed);
    EXPECT_FALSE(outcome.createError.has_value());
}

TEST_F(Systemd, UninstallDisablesAndRemovesTheUnit) {
    EXPECT_FALSE(diskgate::posix::uninstallUnit(setup()));  // nothing installed
    ASSERT_TRUE(diskgate::posix::installUnit(setup()).installed);
    calls.clear();
    refusals["disable"] = 1;
    EXPECT_FALSE(diskgate::posix::uninstallUnit(setup()));
    EXPECT_TRUE(fs::exists(unit()));
    refusals.clear();
    calls.clear();
    EXPECT_TRUE(diskgate::posix::uninstallUnit(setup()));
    EXPECT_EQ(calls, (std::vector<std::string>{"disable diskgate.service", "daemon-reload"}));
    EXPECT_FALSE(fs::exists(unit()));
}

}  // namespace

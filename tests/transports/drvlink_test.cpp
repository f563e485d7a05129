// The driver transport against device nodes that the test plays itself: pseudo-terminals whose
// far side the test reads and answers byte by byte. Discovery, the table's order and limits,
// the frame on the wire, replies that carry no usable status word, devices that stop answering
// or go away, and the per-device lock after each of them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device_class.h"
#include "device_table.h"
#include "drv_link.h"
#include "platform/named_mutex.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

Bytes hex(std::string_view text) {
    Bytes out;
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// A device node: a pseudo-terminal in raw mode reached through a link at `path`. The test holds
// the far side and plays the device.
class FakeDevice {
  public:
    // `unlocked` false: the node exists but cannot be opened (as a device held exclusively).
    FakeDevice(std::filesystem::path path, bool unlocked = true) : path_(std::move(path)) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0) throw std::runtime_error("no pty");
        char name[128];
        ::ptsname_r(master_, name, sizeof name);
        if (unlocked) {
            ::unlockpt(master_);
            // Keeping the device side open ourselves keeps its settings and spares the far side
            // a hang-up when a host closes it.
            device_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
            termios raw{};
            ::tcgetattr(device_, &raw);
            ::cfmakeraw(&raw);
            ::tcsetattr(device_, TCSANOW, &raw);
        }
        std::filesystem::create_symlink(name, path_);
    }
    ~FakeDevice() { unplug(); }
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // What the host wrote: exactly `count` bytes, or what came before the limit.
    Bytes read(std::size_t count, std::chrono::milliseconds limit = 5s) {
        Bytes out;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (out.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{master_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            std::uint8_t chunk[4096];
            const ssize_t n = ::read(master_, chunk, std::min(sizeof chunk, count - out.size()));
            if (n <= 0) break;
            out.insert(out.end(), chunk, chunk + n);
        }
        return out;
    }
    // Nothing more waiting from the host.
    bool quiet() {
        pollfd p{master_, POLLIN, 0};
        return ::poll(&p, 1, 50) == 0;
    }
    void write(const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }
    // The device goes away: its node and both sides of the terminal.
    void unplug() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
        if (device_ >= 0) ::close(device_);
        if (master_ >= 0) ::close(master_);
        device_ = master_ = -1;
    }

  private:
    std::filesystem::path path_;
    int master_ = -1;
    int device_ = -1;
};

class DrvLinkTest : public ::testing::Test {
  protected:
    DrvLinkTest() {
        std::string pattern = (std::filesystem::temp_directory_path() / "drvlink-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
    }
    ~DrvLinkTest() override {
        for (TransportHandle* h : handles_) link_.disconnect(h);
        devices_.clear();
        std::filesystem::remove_all(dir_);
    }

    FakeDevice& plug(const std::string& name, bool unlocked = true) {
        devices_.push_back(std::make_unique<FakeDevice>(dir_ / name, unlocked));
        return *devices_.back();
    }
    int32_t enumerate() {
        int32_t count = -1;
        EXPECT_EQ(link_.enumerate(&count), 0);
        return count;
    }
    TransportHandle* connect(int32_t index, std::string* id = nullptr) {
        char buffer[TRANSPORT_ID_BUFFER_SIZE] = {};
        TransportHandle* h = nullptr;
        EXPECT_EQ(link_.connect(&h, buffer, index), 0);
        if (h != nullptr) handles_.push_back(h);
        if (id != nullptr) *id = buffer;
        return h;
    }
    // A device plugged, listed and connected.
    TransportHandle* connected(FakeDevice*& device) {
        device = &plug("tarvexkey0");
        EXPECT_EQ(enumerate(), 1);
        return connect(0);
    }

    struct Exchange {
        int32_t result;
        int32_t length;
        Bytes reply;
    };
    // Runs DoCommand on a thread of its own while the test plays the device.
    std::future<Exchange> start(TransportHandle* h, Bytes command) {
        return std::async(std::launch::async, [this, h, command] {
            Bytes reply(65536, 0xEE);
            int32_t length = -7;
            const int32_t r = link_.doCommand(
                h, command.data(), static_cast<int32_t>(command.size()), reply.data(), &length);
            reply.resize(length >= 0 ? static_cast<std::size_t>(length) : 0);
            return Exchange{r, length, reply};
        });
    }

    // Whether another thread can take the device's lock right away: nobody holds it.
    bool lockFree(const FakeDevice& device) {
        bool free = false;
        std::thread([&] {
            auto lock = platform::NamedMutex::openOrCreate(
                platform::deviceLockName(device.path().string()));
            if (!lock) return;
            platform::NamedMutexGuard guard(*lock, 0ms);
            free = guard.owns();
        }).join();
        return free;
    }

    std::filesystem::path dir_;
    drvlink::DrvLink link_{[this] {
                               return platform::DeviceInterfaceClass{
                                   drvlink::kInterfaceGuid, drvlink::controlKeyOf,
                                   (dir_ / "tarvexkey*").string()};
                           },
                           drvlink::Options{2000ms, 300ms}};
    std::vector<std::unique_ptr<FakeDevice>> devices_;
    std::vector<TransportHandle*> handles_;
};

// ---- Discovery and the table ----

TEST_F(DrvLinkTest, DevicesAreListedOldestFirstWhateverOrderTheSystemListsThemIn) {
    // The system lists by name; the one that came first has the later name.
    plug("tarvexkey-b");
    std::this_thread::sleep_for(30ms);  // the node's change time has a coarse clock
    plug("tarvexkey-a");
    ASSERT_EQ(enumerate(), 2);
    std::string id;
    connect(0, &id);
    EXPECT_EQ(id, (dir_ / "tarvexkey-b").string()) << "the older device comes first";
    connect(1, &id);
    EXPECT_EQ(id, (dir_ / "tarvexkey-a").string());
}

TEST_F(DrvLinkTest, ANodeThatCannotBeOpenedIsNotListed) {
    plug("tarvexkey0", /*unlocked=*/false);
    std::filesystem::create_symlink(dir_ / "no-such-device", dir_ / "tarvexkey1");
    FakeDevice& usable = plug("tarvexkey2");
    ASSERT_EQ(enumerate(), 1);
    std::string id;
    connect(0, &id);
    EXPECT_EQ(id, usable.path().string());
}

TEST_F(DrvLinkTest, TheTableHoldsTheFirstSixteenDevicesTheSystemLists) {
    for (int i = 0; i < 17; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "tarvexkey%02d", i);
        plug(name);
    }
    ASSERT_EQ(enumerate(), 16);
    for (int32_t i = 0; i < 16; ++i) {
        std::string id;
        connect(i, &id);
        EXPECT_NE(id, (dir_ / "tarvexkey16").string()) << "the seventeenth is not listed";
    }
}

TEST_F(DrvLinkTest, NoNodesGiveAnEmptyList) {
    EXPECT_EQ(enumerate(), 0);
    TransportHandle* h = nullptr;
    EXPECT_EQ(link_.connect(&h, nullptr, 0), -1);
}

TEST(DrvLinkTable, PathsTooLongForTheTableAreLeftOut) {
    std::vector<platform::DeviceInterface> present = {
        {std::string(260, 'p'), 1}, {std::string(259, 'q'), 2}, {"", 0}};
    const auto table = drvlink::buildDeviceTable(present, [](const std::string&) { return true; });
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table[0].path.size(), 259u);
}

TEST(DrvLinkTable, EqualTimesKeepTheSystemsOrder) {
    std::vector<platform::DeviceInterface> present = {{"c", 5}, {"a", 5}, {"b", 3}, {"d", 5}};
    const auto table = drvlink::buildDeviceTable(present, [](const std::string&) { return true; });
    std::string order;
    for (const auto& d : table) order += d.path;
    EXPECT_EQ(order, "bcad");
}

TEST(DrvLinkRegistry, TheControlKeyReplacesTheFirstSecondAndFourthCharacters) {
    EXPECT_EQ(drvlink::controlKeyOf("\\\\?\\usb#vid_1234&pid_5678#0001#{925fad44-e331-4116-b409-"
                                    "78fc2b51ea21}"),
              "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{925fad44-e331-4116-b409-"
              "78fc2b51ea21}\\##?#usb#vid_1234&pid_5678#0001#{925fad44-e331-4116-b409-"
              "78fc2b51ea21}\\Control");
}

// ---- Connect and Disconnect ----

TEST_F(DrvLinkTest, ConnectGivesThePathAndRefusesIndicesOutsideTheTable) {
    FakeDevice& device = plug("tarvexkey0");
    ASSERT_EQ(enumerate(), 1);
    TransportHandle* h = nullptr;
    EXPECT_EQ(link_.connect(&h, nullptr, 1), -1);
    EXPECT_EQ(link_.connect(&h, nullptr, -1), -1);
    EXPECT_EQ(h, nullptr);
    std::string id;
    h = connect(0, &id);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(id, device.path().string()) << "the path, without a terminator of its own";
    EXPECT_EQ(h->tag, 'D');
}

TEST_F(DrvLinkTest, ADeviceGoneSinceTheEnumerationCannotBeConnected) {
    FakeDevice& device = plug("tarvexkey0");
    ASSERT_EQ(enumerate(), 1);
    device.unplug();
    TransportHandle* h = nullptr;
    EXPECT_EQ(link_.connect(&h, nullptr, 0), 0x10001);
    EXPECT_EQ(h, nullptr);
}

TEST_F(DrvLinkTest, DisconnectRefusesForeignHandles) {
    EXPECT_EQ(link_.disconnect(nullptr), 0);
    TransportHandle foreign{'C', 1, this};
    TransportHandle empty{'D', 0, this};
    EXPECT_EQ(link_.disconnect(&foreign), -1);
    EXPECT_EQ(link_.disconnect(&empty), -1);
}

// ---- The frame on the wire ----

TEST_F(DrvLinkTest, AFiveByteCommandIsSentAsA50500AndItsBytes) {
    FakeDevice* device = nullptr;
    TransportHandle* h = connected(device);
    auto exchange = start(h, hex("0084000008"));
    EXPECT_EQ(device->read(8), hex("A5 05 00 0084000008"));
    EXPECT_TRUE(device->quiet()) << "nothing more was sent";
    device->write(hex("5A 0A 00 0102030405060708 9000"));
    const Exchange e = exchange.get();
    EXPECT_EQ(e.result, 0x9000);
    EXPECT_EQ(e.reply, hex("0102030405060708"));
    EXPECT_TRUE(lockFree(*device));
}

TEST_F(DrvLinkTest, ALongCommandCarriesItsLengthLowByteFirst) {
    FakeDevice* device = nullptr;
    TransportHandle* h = connected(device);
    Bytes command = hex("80 D6 00 00 00 01 2C");  // an extended UPDATE BINARY of 300 bytes
    command.resize(7 + 300, 0x33);
    auto exchange = start(h, command);
    const Bytes sent = device->read(3 + command.size());
    ASSERT_EQ(sent.size(), 3 + command.size());
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 3), hex("A5 33 01"));  // 307 = 0x0133
    EXPECT_EQ(Bytes(sent.begin() + 3, sent.end()), command);
    device->write(hex("5A 02 00 9000"));
    EXPECT_EQ(exchange.get().result, 0x9000);
}

struct ReplyCase {
    const char* what;
    std::string reply;  // what the device answers, in hex
    int32_t result;
    int32_t length;  // -7: left as it was
};

class DrvLinkReplies : public DrvLinkTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(DrvLinkReplies, ResultAndTheNextExchangeStillInStep) {
    const ReplyCase& c = GetParam();
    FakeDevice* device = nullptr;
    TransportHandle* h = connected(device);
    auto exchange = start(h, hex("00A40000023F00"));
    device->read(10);
    device->write(hex(c.reply));
    const Exchange e = exchange.get();
    EXPECT_EQ(e.result, c.result);
    EXPECT_EQ(e.length, c.length);
    EXPECT_TRUE(lockFree(*device)) << "the lock is free after every outcome";
    // The announced bytes were taken off the line: the next reply is the next one's.
    auto next = start(h, hex("00A40000023F00"));
    device->read(10);
    device->write(hex("5A 02 00 6A82"));
    EXPECT_EQ(next.get().result, 0x6A82);
}

std::string announcing(std::size_t length, std::uint8_t fill = 0x11) {
    char header[16];
    std::snprintf(header, sizeof header, "5A%02X%02X", static_cast<unsigned>(length & 0xFF),
                  static_cast<unsigned>(length >> 8));
    std::string text = header;
    for (std::size_t i = 0; i < length; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02X", i + 2 == length ? 0x90 : i + 1 == length ? 0 : fill);
        text += two;
    }
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, DrvLinkReplies,
    ::testing::Values(ReplyCase{"status_word_alone", "5A 02 00 9000", 0x9000, 0},
                      ReplyCase{"another_status_word_passes_up", "5A 02 00 6A82", 0x6A82, 0},
                      ReplyCase{"announcing_nothing", "5A 00 00", -1, -7},
                      ReplyCase{"announcing_one_byte", "5A 01 00 90", -1, -7},
                      ReplyCase{"largest_reply", announcing(51200), 0x9000, 51198},
                      ReplyCase{"one_byte_past_the_buffer", announcing(51201), -1, -7},
                      ReplyCase{"largest_length_field", announcing(65535), -1, -7}),
    [](const auto& p) { return std::string(p.param.what); });

TEST_F(DrvLinkTest, AReplyHeaderNotStartingWith5AGivesMinusOneWithTheLockFree) {
    FakeDevice* device = nullptr;
    TransportHandle* h = connected(device);
    auto exchange = start(h, hex("00A40000023F00"));
    device->read(10);
    device->write(hex("A5 02 00 9000"));
    const Exchange e = exchange.get();
    EXPECT_EQ(e.result, -1);
    EXPECT_EQ(e.length, -7) << "nothing copied";
    EXPECT_TRUE(lockFree(*device));
}

struct GoneCase {
    const char* what;
    std::string answer;  // what the device sends before it stops or goes
    bool unplug;         // goes away (else: stops answering)
};

class DrvLinkGone : public DrvLinkTest, public ::testing::WithParamInterface<GoneCase> {};

TEST_P(DrvLinkGone, ADeviceThatStopsOrGoesIsLostWithinTheLimitAndTheLockFree) {
    const GoneCase& c = GetParam();
    FakeDevice* device = nullptr;
    TransportHandle* h = connected(device);
    const auto before = std::chrono::steady_clock::now();
    auto exchange = start(h, hex("00A40000023F00"));
    device->read(10);
    device->write(hex(c.answer));
    if (c.unplug) device->unplug();
    const Exchange e = exchange.get();
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_EQ(e.result, 0x10001);
    EXPECT_EQ(e.length, -7);
    EXPECT_LT(took, 3s) << "every wait is bounded";
    EXPECT_TRUE(lockFree(*device));
}

INSTANTIATE_TEST_SUITE_P(Devices, DrvLinkGone,
                         ::testing::Values(GoneCase{"pulled_before_the_reply", "", true},
                                           GoneCase{"pulled_after_the_header", "5A 0A 00", true},
                                           GoneCase{"pulled_in_the_reply", "5A 0A 00 0102", true},
                                           GoneCase{"silent", "", false},
                                           GoneCase{"stops_after_the_header", "5A 0A 00 01", false},
                                           GoneCase{"stops_in_a_reply_too_long_to_keep",
                                                    "5A FF FF 0000", false}),
                         [](const auto& p) { return std::string(p.param.what); });

TEST_F(DrvLinkTest, ACommandThatTheFrameCannotCarryIsRefusedUnsent) {
    FakeDevice* device = nullptr;
    TransportHandle* h = connected(device);
    Bytes reply(16);
    int32_t length = -7;
    const Bytes big(0x10000, 0x11);
    EXPECT_EQ(
        link_.doCommand(h, big.data(), static_cast<int32_t>(big.size()), reply.data(), &length),
        -1);
    EXPECT_EQ(link_.doCommand(h, big.data(), 0, reply.data(), &length), -1);
    EXPECT_EQ(link_.doCommand(h, nullptr, 5, reply.data(), &length), -1);
    EXPECT_EQ(link_.doCommand(h, big.data(), 5, nullptr, &length), -1);
    EXPECT_EQ(link_.doCommand(h, big.data(), 5, reply.data(), nullptr), -1);
    TransportHandle foreign{'M', h->connection, h->lock};
    EXPECT_EQ(link_.doCommand(&foreign, big.data(), 5, reply.data(), &length), -1);
    EXPECT_EQ(length, -7);
    EXPECT_TRUE(device->quiet()) << "nothing was written";
}

TEST_F(DrvLinkTest, AnExchangeWaitsForAnotherHoldingTheDevicesLock) {
    FakeDevice* device = nullptr;
    TransportHandle* h = connected(device);
    auto lock =
        platform::NamedMutex::openOrCreate(platform::deviceLockName(device->path().string()));
    ASSERT_TRUE(lock);
    std::future<Exchange> exchange;
    {
        // Held on another thread, as another process would.
        std::promise<void> held, release;
        std::thread holder([&] {
            platform::NamedMutexGuard guard(*lock, std::nullopt);
            held.set_value();
            release.get_future().wait();
        });
        held.get_future().wait();
        exchange = start(h, hex("0084000008"));
        EXPECT_TRUE(device->quiet()) << "nothing is sent while another holds the lock";
        release.set_value();
        holder.join();
    }
    EXPECT_EQ(device->read(8), hex("A5 05 00 0084000008"));
    device->write(hex("5A 02 00 9000"));
    EXPECT_EQ(exchange.get().result, 0x9000);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Device locks of this run meet no other test process's.
    ::setenv("TOKEN_PLATFORM_NAMESPACE", ("drvlink" + std::to_string(::getpid())).c_str(), 1);
    return RUN_ALL_TESTS();
}

// A device layer in the test process: disks described by a table, each answering the probe
// and exchanges from a script, with a record of what the service did to them.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device_io.h"

namespace fake {

using Bytes = std::vector<std::uint8_t>;

// A token-like answer: BF C8 gets a 15-byte status record (second byte 03) and 9000, every
// other command its own bytes back followed by 9000.
Bytes tokenAnswer(const Bytes& command);

struct Disk {
    std::string path;
    std::string identity;  // empty: the same as the path
    diskgate::PlugIn plugIn{diskgate::PlugIn::Kind::Time, 0, 0};
    diskgate::SystemError openError = 0;  // non-zero: opening fails with it
    // What a receive after each send transfers: the answer to the last command sent.
    std::function<Bytes(const Bytes&)> answer = tokenAnswer;
    diskgate::Transfer sendFailure{};     // error non-zero: every send fails so
    diskgate::Transfer receiveFailure{};  // error non-zero: every receive fails so
};

struct Event {
    enum Kind { Open, Close, Send, Receive } kind;
    std::string path;
    Bytes data;  // Send: the bytes sent; Receive: the bytes handed back
};

class Disks final : public diskgate::DeviceIo {
  public:
    std::vector<Disk> disks;
    diskgate::SystemError listingEndsWith = 0;
    std::vector<Event> events;
    // Called inside every pass-through: lets a test act while the service works.
    std::function<void()> duringPassThrough;

    int openCount() const;  // disks open right now
    std::vector<Bytes> sent(const std::string& path) const;
    int count(Event::Kind kind) const;

    diskgate::DiskListing listDisks() override;
    diskgate::PlugIn plugInOf(const diskgate::DiskEntry& disk) override;
    diskgate::OpenResult open(const std::string& path) override;

  private:
    friend class OpenFake;
    const Disk* find(const std::string& path) const;
    int open_ = 0;
};

// Marked disk paths in the system's form, numbered.
std::string tokenPath(int n);
std::string otherDiskPath(int n);

}  // namespace fake

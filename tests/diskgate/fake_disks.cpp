#include "fake_disks.h"

#include <algorithm>
#include <cstdio>

namespace fake {

Bytes tokenAnswer(const Bytes& command) {
    if (command == Bytes{0xBF, 0xC8, 0x00, 0x00, 0x0F}) {
        Bytes status = {0x01, 0x03, 0x01, 0x02, 0x00, 0x04, 0x02, 0x00,
                        0x00, 0x80, 0x00, 0x14, 0x00, 0x80, 0x00};
        status.push_back(0x90);
        status.push_back(0x00);
        return status;
    }
    Bytes echo = command;
    echo.push_back(0x90);
    echo.push_back(0x00);
    return echo;
}

std::string tokenPath(int n) {
    char path[128];
    std::snprintf(path, sizeof path,
                  "\\\\?\\usbstor#disk&ven_tarvex&prod_usb_key&rev_1.00#%04d&0#"
                  "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
                  n);
    return path;
}

std::string otherDiskPath(int n) {
    char path[128];
    std::snprintf(path, sizeof path,
                  "\\\\?\\usbstor#disk&ven_generic&prod_flash_disk&rev_8.07#%04d&0#"
                  "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
                  n);
    return path;
}

class OpenFake final : public diskgate::OpenDisk {
  public:
    OpenFake(Disks& owner, const Disk& disk) : owner_(owner), path_(disk.path) {}
    ~OpenFake() override {
        --owner_.open_;
        owner_.events.push_back({Event::Close, path_, {}});
    }

    diskgate::Transfer passThrough(diskgate::Direction direction,
                                   std::span<std::uint8_t> data) override {
        // A copy: the hook may replace itself.
        if (auto hook = owner_.duringPassThrough) hook();
        const Disk* disk = owner_.find(path_);
        if (direction == diskgate::Direction::Send) {
            Bytes command(data.begin(), data.end());
            owner_.events.push_back({Event::Send, path_, command});
            if (disk->sendFailure.error != 0) return disk->sendFailure;
            pending_ = disk->answer(command);
            return {0, data.size()};
        }
        if (disk->receiveFailure.error != 0) return disk->receiveFailure;
        const std::size_t n = std::min(pending_.size(), data.size());
        std::copy_n(pending_.begin(), n, data.begin());
        owner_.events.push_back(
            {Event::Receive, path_, Bytes(pending_.begin(), pending_.begin() + n)});
        // A device that reports more than it was given room for: the buffer holds only `n`.
        const std::size_t reported = pending_.size();
        pending_.clear();
        return {0, reported};
    }

  private:
    Disks& owner_;
    std::string path_;
    Bytes pending_;
};

const Disk* Disks::find(const std::string& path) const {
    auto it =
        std::find_if(disks.begin(), disks.end(), [&](const Disk& d) { return d.path == path; });
    return it == disks.end() ? nullptr : &*it;
}

int Disks::openCount() const {
    return open_;
}

std::vector<Bytes> Disks::sent(const std::string& path) const {
    std::vector<Bytes> out;
    for (const Event& e : events) {
        if (e.kind == Event::Send && e.path == path) out.push_back(e.data);
    }
    return out;
}

int Disks::count(Event::Kind kind) const {
    return static_cast<int>(std::count_if(events.begin(), events.end(),
                                          [kind](const Event& e) { return e.kind == kind; }));
}

diskgate::DiskListing Disks::listDisks() {
    diskgate::DiskListing listing;
    for (const Disk& d : disks) {
        listing.disks.push_back({d.path, d.identity.empty() ? d.path : d.identity});
    }
    listing.endedWith = listingEndsWith;
    return listing;
}

diskgate::PlugIn Disks::plugInOf(const diskgate::DiskEntry& entry) {
    const Disk* disk = find(entry.path);
    return disk != nullptr ? disk->plugIn : diskgate::PlugIn{};
}

diskgate::OpenResult Disks::open(const std::string& path) {
    const Disk* disk = find(path);
    if (disk == nullptr) return {nullptr, 2};
    if (disk->openError != 0) return {nullptr, disk->openError};
    ++open_;
    events.push_back({Event::Open, path, {}});
    return {std::make_unique<OpenFake>(*this, *disk), 0};
}

}  // namespace fake

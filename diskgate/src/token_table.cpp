#include "token_table.h"

#include <algorithm>

#include "token_io.h"

namespace diskgate {
namespace {

bool carriesVendorMark(std::string_view identity) {
    std::string upper(identity);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper.find(kVendorMark) != std::string::npos;
}

}  // namespace

SystemError TokenTable::discover(DeviceIo& io) {
    entries_.clear();
    const DiskListing listing = io.listDisks();
    bool full = false;
    for (const DiskEntry& disk : listing.disks) {
        // A path a slot cannot hold whole would open something else than was found.
        if (disk.path.empty() || disk.path.size() > kMaxPath) continue;
        if (!carriesVendorMark(disk.identity)) continue;

        OpenResult opened = io.open(disk.path);
        if (opened.disk) {
            const std::uint32_t probe = probeToken(*opened.disk);
            opened.disk.reset();
            if (probe != 0) continue;
        } else if (opened.error == kErrorAccessDenied) {
            // Not running with the rights the service needs: nothing found can be trusted.
            entries_.clear();
            return kErrorAccessDenied;
        }
        // Any other failure to open: the disk is taken without the probe.

        const PlugIn when = io.plugInOf(disk);
        switch (when.kind) {
            case PlugIn::Kind::Time:
                entries_.push_back({disk.path, when.value});
                break;
            case PlugIn::Kind::Position:
                entries_.push_back({disk.path, kPositionTimeBase + when.value});
                break;
            case PlugIn::Kind::Unknown:
                break;
            case PlugIn::Kind::Failed:
                entries_.clear();
                return when.error;
        }
        if (entries_.size() == kCapacity) {
            full = true;
            break;
        }
    }
    if (!full && listing.endedWith != kSuccess) {
        entries_.clear();
        return listing.endedWith;
    }
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const TokenEntry& a, const TokenEntry& b) { return a.plugIn < b.plugIn; });
    return kSuccess;
}

bool TokenTable::recorded(std::string_view path) const {
    return std::any_of(entries_.begin(), entries_.end(),
                       [path](const TokenEntry& e) { return e.path == path; });
}

}  // namespace diskgate

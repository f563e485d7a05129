#include "device_list.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

namespace tokendesk {

namespace {

constexpr std::uint32_t kInfoLabel = 0;
constexpr std::uint32_t kInfoSerial = 7;
constexpr std::uint32_t kCertEncryption = 1;
constexpr std::uint32_t kCertSignature = 2;
constexpr std::size_t kLabelCapacity = 128;
constexpr std::size_t kSerialCapacity = 32;
constexpr std::size_t kContainerListCapacity = 1024;
constexpr std::size_t kCertificateCapacity = 2048;

// The serial number's text: the delivered bytes up to the first NUL.
std::optional<std::string> readSerial(KeyAccess& keys, DeviceHandle* handle) {
    std::array<std::uint8_t, kSerialCapacity> buffer{};
    std::uint32_t length = buffer.size();
    if (keys.deviceInfo(handle, kInfoSerial, buffer, length) != 0) return std::nullopt;
    const auto* begin = reinterpret_cast<const char*>(buffer.data());
    const std::size_t size = std::min<std::size_t>(length, buffer.size());
    return std::string(begin, strnlen(begin, size));
}

std::optional<std::vector<std::uint8_t>> exportCertificate(KeyAccess& keys, DeviceHandle* handle,
                                                           ContainerHandle* container,
                                                           std::uint32_t type) {
    std::vector<std::uint8_t> der(kCertificateCapacity);
    std::uint32_t length = static_cast<std::uint32_t>(der.size());
    if (keys.exportCertificate(handle, container, type, der, length) != 0 || length == 0 ||
        length > der.size()) {
        return std::nullopt;
    }
    der.resize(length);
    return der;
}

}  // namespace

void DeviceList::clear() {
    for (DeviceEntry& entry : entries_) keys_.disconnect(entry.handle);
    entries_.clear();
    knownCount_ = 0;
}

void DeviceList::rebuild() {
    clear();
    std::uint32_t count = 0;
    if (keys_.enumDevices(count) != 0) return;
    for (std::uint32_t index = 0; index < count; ++index) {
        DeviceHandle* handle = nullptr;
        if (keys_.connect(static_cast<int>(index), handle) != 0) continue;
        if (!append(handle)) continue;
        ++knownCount_;
    }
}

bool DeviceList::append(DeviceHandle* handle) {
    try {
        entries_.push_back(build(handle));
        return true;
    } catch (const std::bad_alloc&) {
        // Out of memory: the key is not listed, and its handle is not left connected.
        keys_.disconnect(handle);
        return false;
    }
}

DeviceEntry DeviceList::build(DeviceHandle* handle) {
    DeviceEntry entry;
    entry.handle = handle;
    entry.id = ids_.next([this](ItemCode id) {
        return std::any_of(entries_.begin(), entries_.end(),
                           [id](const DeviceEntry& listed) { return listed.id == id; });
    });

    std::array<std::uint8_t, kLabelCapacity> label{};
    std::uint32_t length = label.size();
    if (keys_.deviceInfo(handle, kInfoLabel, label, length) != 0 || length == 0) {
        entry.label = unformattedLabel();
    } else {
        entry.label.assign(reinterpret_cast<const char*>(label.data()),
                           std::min<std::size_t>(length, label.size()));
    }

    auto serial = readSerial(keys_, handle);
    if (!serial) return entry;  // listed without containers
    entry.serial = std::move(*serial);
    readContainers(entry);
    return entry;
}

void DeviceList::readContainers(DeviceEntry& entry) {
    std::vector<char> list(kContainerListCapacity, '\0');
    std::uint32_t length = static_cast<std::uint32_t>(list.size());
    if (keys_.enumContainers(entry.handle, list, length) != 0 || length == 0) return;
    for (std::string& name : splitContainerNames(list, length)) {
        if (entry.containers.size() == static_cast<std::size_t>(kMaxContainers)) break;
        ContainerEntry& container = entry.containers.emplace_back();
        container.name = std::move(name);
        ContainerHandle* opened = nullptr;
        if (keys_.openContainer(entry.handle, container.name.c_str(), opened) != 0) continue;
        std::uint32_t word = 0;
        if (keys_.containerInfo(entry.handle, opened, word) == 0) {
            applyContainerInfo(container, word);
            if (container.hasSignatureCertificate) {
                auto der = exportCertificate(keys_, entry.handle, opened, kCertSignature);
                container.hasSignatureCertificate = der.has_value();
                if (der) container.signatureCertificate = std::move(*der);
            }
            if (container.hasEncryptionCertificate) {
                auto der = exportCertificate(keys_, entry.handle, opened, kCertEncryption);
                container.hasEncryptionCertificate = der.has_value();
                if (der) container.encryptionCertificate = std::move(*der);
            }
        }
        keys_.closeContainer(entry.handle, opened);
    }
}

DeviceList::Change DeviceList::deviceChanged() {
    std::uint32_t count = 0;
    if (keys_.enumDevices(count) != 0) return {};
    Change change;
    if (count < knownCount_) {
        change = removeFirstGone();
    } else if (count > knownCount_) {
        change = addFirstNew(count);
    }
    knownCount_ = count;
    return change;
}

DeviceList::Change DeviceList::removeFirstGone() {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (keys_.probe(it->handle) == 0) continue;
        Change change{Change::Kind::Removed, std::move(*it)};
        entries_.erase(it);
        keys_.disconnect(change.entry.handle);
        change.entry.handle = nullptr;
        return change;
    }
    return {};
}

DeviceList::Change DeviceList::addFirstNew(std::uint32_t count) {
    for (std::uint32_t index = 0; index < count; ++index) {
        DeviceHandle* handle = nullptr;
        if (keys_.connect(static_cast<int>(index), handle) != 0) continue;
        const auto serial = readSerial(keys_, handle);
        if (!serial || serialListed(entries_, *serial)) {
            keys_.disconnect(handle);
            continue;
        }
        if (!append(handle)) return {};
        return {Change::Kind::Added, entries_.back()};
    }
    return {};
}

}  // namespace tokendesk

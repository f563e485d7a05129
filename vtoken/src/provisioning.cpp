#include <algorithm>
#include <stdexcept>
#include <string_view>

#include "vtoken/pin_crypto.h"
#include "vtoken/token_state.h"

namespace vtoken {

namespace {

constexpr std::size_t kCertificateFileSize = 2 + 2048;
constexpr std::uint16_t kCertificateFiles[] = {0x0002, 0x0003, 0x0008, 0x0009, 0x000E, 0x000F,
                                               0x0014, 0x0015, 0x001C, 0x001D, 0x001E, 0x001F};
constexpr std::uint8_t kFullCounter = 0x66;

void addApplication(FileSystem& files, std::uint16_t dfFid) {
    const std::size_t df = files.addDf(FileSystem::kRoot, dfFid);
    const std::size_t keyFlags = files.addTransparent(df, 0xEF07, 2, Access::Free, Access::User);
    files.node(keyFlags).shortId = 7;
    const std::size_t counters =
        files.addTransparent(df, kCounterFileId, 2, Access::Free, Access::Admin);
    files.node(counters).body = {kFullCounter, kFullCounter};
    files.addRecordFile(df, 0x00EF, 20, 27, Access::Free, Access::User);
    const std::size_t nextId = files.addTransparent(df, 0x00EE, 2, Access::Free, Access::User);
    files.node(nextId).body = {0xEF, 0x10};
    for (std::uint16_t fid : kCertificateFiles) {
        files.addTransparent(df, fid, kCertificateFileSize, Access::Free, Access::User);
    }
    addKeyFiles(files, df);
}

void checkPin(const Bytes& pin, const char* which) {
    if (pin.empty() || pin.size() > kMaxPinLength) {
        throw std::invalid_argument(std::string(which) + " must be 1 to 16 bytes");
    }
}

}  // namespace

KeyFileIds rsaKeyFiles(unsigned container, unsigned slot) {
    const auto first = static_cast<std::uint16_t>(6 * container - 2 + (slot == 2 ? 2 : 0));
    return {first, static_cast<std::uint16_t>(first + 1)};
}

KeyFileIds sm2KeyFiles(unsigned container, unsigned slot) {
    const auto first = static_cast<std::uint16_t>(6 * container + 30 + (slot == 2 ? 2 : 0));
    return {first, static_cast<std::uint16_t>(first + 1)};
}

void addKeyFiles(FileSystem& files, std::size_t df) {
    for (unsigned container = 1; container <= kContainerCount; ++container) {
        for (unsigned slot = 1; slot <= 2; ++slot) {
            for (const KeyFileIds ids :
                 {rsaKeyFiles(container, slot), sm2KeyFiles(container, slot)}) {
                if (!files.child(df, ids.publicKey)) {
                    files.addKeyFile(df, ids.publicKey, FileType::PublicKey, Access::Free,
                                     Access::User);
                }
                if (!files.child(df, ids.privateKey)) {
                    files.addKeyFile(df, ids.privateKey, FileType::PrivateKey, Access::User,
                                     Access::User);
                }
            }
        }
    }
}

ApplicationKeys* TokenState::keysFor(std::uint16_t dfFid) {
    for (ApplicationKeys& entry : keys) {
        if (entry.dfFid == dfFid) return &entry;
    }
    return nullptr;
}

TokenState provision(const ProvisionOptions& options) {
    checkPin(options.userPin, "user PIN");
    checkPin(options.adminPin, "administrator PIN");
    if (options.generation != 1 && options.generation != 2) {
        throw std::invalid_argument("generation must be 1 or 2");
    }
    if (options.label.size() > 126) throw std::invalid_argument("label longer than 126 bytes");
    if (options.capacity > 0xFFFF) {
        throw std::invalid_argument("capacity must fit the status record's 16 bits (<= 65535)");
    }

    TokenState state;
    state.identity.serial = options.serial;
    state.identity.generation = options.generation;
    state.identity.maxBlock = options.maxBlock;
    state.identity.largestBlockQuery = options.largestBlockQuery;
    state.identity.pinCounterCommand = options.pinCounterCommand;
    state.identity.capacity = options.capacity;

    FileSystem& files = state.files;
    const std::size_t root = FileSystem::kRoot;

    const std::size_t marker = files.addTransparent(root, 0xFFEE, 16, Access::Free, Access::Admin);
    const std::string_view kMarker = "VTOKEN01";
    files.node(marker).body[0] = static_cast<std::uint8_t>(kMarker.size());
    std::copy(kMarker.begin(), kMarker.end(), files.node(marker).body.begin() + 1);

    const std::size_t applications =
        files.addRecordFile(root, 0x00A0, 4, 128, Access::Free, Access::Admin);
    Bytes& records = files.node(applications).body;
    const std::uint8_t first[] = {0x01, 0xDD, 0xF1, 0x01};
    const std::uint8_t second[] = {0x01, 0xDD, 0xF2, 0x00};
    std::copy(std::begin(first), std::end(first), records.begin());
    std::copy(std::begin(second), std::end(second), records.begin() + 128);

    const std::size_t label =
        files.addTransparent(root, kLabelFileId, 128, Access::Free, Access::Free);
    Bytes& labelBody = files.node(label).body;
    labelBody[0] = 0x01;
    labelBody[1] = static_cast<std::uint8_t>(options.label.size());
    std::copy(options.label.begin(), options.label.end(), labelBody.begin() + 2);

    const std::size_t containers =
        files.addRecordFile(root, 0x00E2, 4, 128, Access::Free, Access::User);
    Bytes& containerRecords = files.node(containers).body;
    std::fill(containerRecords.begin(), containerRecords.end(), 0xFF);
    for (std::size_t i = 0; i < 4; ++i) {
        std::uint8_t* record = containerRecords.data() + i * 128;
        record[0] = 0xAD;
        record[1] = static_cast<std::uint8_t>(0xF1 + i);
        record[2] = 0x00;
        record[3] = 0x00;
    }

    files.addTransparent(root, 0x001A, 16, Access::Free, Access::User);
    files.addTransparent(root, 0x001B, 4, Access::Free, Access::User);

    for (std::uint16_t dfFid : {kFirstApplication, kSecondApplication}) {
        addApplication(files, dfFid);
        state.keys.push_back(
            {dfFid, keyRecordFromPin(options.userPin), keyRecordFromPin(options.adminPin)});
    }
    return state;
}

std::string labelOf(const TokenState& state) {
    auto label = state.files.child(FileSystem::kRoot, kLabelFileId);
    if (!label) return {};
    const Bytes& body = state.files.node(*label).body;
    if (body.size() < 2 || body[0] != 0x01) return {};
    const std::size_t length = std::min<std::size_t>(body[1], body.size() - 2);
    return std::string(body.begin() + 2, body.begin() + 2 + static_cast<std::ptrdiff_t>(length));
}

}  // namespace vtoken

#include "vtoken/file_system.h"

#include <stdexcept>

#include "vtoken/status_word.h"

namespace vtoken {

FileSystem::FileSystem() {
    FileNode root;
    root.fid = kMasterFileId;
    root.parent = kRoot;
    nodes_.push_back(std::move(root));
}

std::size_t FileSystem::addNode(FileNode node) {
    if (node.parent >= nodes_.size() || !nodes_[node.parent].isDf()) {
        throw std::invalid_argument("file parent is not a directory");
    }
    nodes_.push_back(std::move(node));
    return nodes_.size() - 1;
}

std::size_t FileSystem::addDf(std::size_t parent, std::uint16_t fid) {
    FileNode df;
    df.fid = fid;
    df.parent = parent;
    return addNode(std::move(df));
}

std::size_t FileSystem::addTransparent(std::size_t parent, std::uint16_t fid, std::size_t size,
                                       Access read, Access update) {
    FileNode ef;
    ef.fid = fid;
    ef.parent = parent;
    ef.type = FileType::Transparent;
    ef.read = read;
    ef.update = update;
    ef.body.assign(size, 0);
    return addNode(std::move(ef));
}

std::size_t FileSystem::addRecordFile(std::size_t parent, std::uint16_t fid, std::size_t count,
                                      std::uint16_t length, Access read, Access update) {
    FileNode ef;
    ef.fid = fid;
    ef.parent = parent;
    ef.type = FileType::Record;
    ef.read = read;
    ef.update = update;
    ef.recordLength = length;
    ef.body.assign(count * length, 0);
    return addNode(std::move(ef));
}

std::size_t FileSystem::addKeyFile(std::size_t parent, std::uint16_t fid, FileType type,
                                   Access read, Access update) {
    if (type != FileType::PublicKey && type != FileType::PrivateKey) {
        throw std::invalid_argument("not a key file type");
    }
    FileNode ef;
    ef.fid = fid;
    ef.parent = parent;
    ef.type = type;
    ef.read = read;
    ef.update = update;
    return addNode(std::move(ef));
}

std::optional<std::size_t> FileSystem::child(std::size_t df, std::uint16_t fid) const {
    for (std::size_t i = 1; i < nodes_.size(); ++i) {
        if (nodes_[i].parent == df && nodes_[i].fid == fid) return i;
    }
    return std::nullopt;
}

std::optional<std::size_t> FileSystem::childByShortId(std::size_t df, std::uint8_t shortId) const {
    for (std::size_t i = 1; i < nodes_.size(); ++i) {
        if (nodes_[i].parent == df && nodes_[i].shortId == shortId && !nodes_[i].isDf()) return i;
    }
    return std::nullopt;
}

std::optional<std::size_t> FileSystem::resolve(std::size_t currentDf, std::uint16_t fid) const {
    if (fid == kMasterFileId) return kRoot;
    if (auto found = child(currentDf, fid)) return found;
    if (currentDf != kRoot) return child(kRoot, fid);
    return std::nullopt;
}

const SecretBytes& readKeyComponent(const FileNode& file, std::uint8_t number) {
    if (file.type == FileType::PrivateKey) refuse(sw::kSecurityNotSatisfied);
    if (file.type != FileType::PublicKey) refuse(sw::kIncompatibleFile);
    if (!file.key) refuse(sw::kKeyNotFound);
    return file.key->get(number);
}

void writeKeyComponent(FileNode& file, KeyAlgorithm algorithm, std::uint8_t number,
                       ByteView value) {
    if (!file.isKeyFile()) refuse(sw::kIncompatibleFile);
    if (isPrivateComponent(algorithm, number) != (file.type == FileType::PrivateKey)) {
        refuse(sw::kWrongData);
    }
    if (!file.key || file.key->algorithm != algorithm) file.key = KeyObject{algorithm, {}};
    file.key->set(number, value);
}

void storeKeyPair(FileNode& publicFile, FileNode& privateFile, const KeyObject& pair) {
    if (publicFile.type != FileType::PublicKey || privateFile.type != FileType::PrivateKey) {
        refuse(sw::kIncompatibleFile);
    }
    KeyObject publicHalf{pair.algorithm, {}};
    KeyObject privateHalf{pair.algorithm, {}};
    for (const auto& [number, value] : pair.components) {
        (isPrivateComponent(pair.algorithm, number) ? privateHalf : publicHalf).components[number] =
            value;
    }
    publicFile.key = std::move(publicHalf);
    privateFile.key = std::move(privateHalf);
}

std::size_t FileSystem::createdBytes() const {
    std::size_t total = 0;
    for (const FileNode& node : nodes_) {
        if (node.created) total += node.body.size();
    }
    return total;
}

}  // namespace vtoken

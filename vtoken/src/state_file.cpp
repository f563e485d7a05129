#include "vtoken/state_file.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

namespace vtoken {

namespace {

constexpr std::string_view kMagic = "VTKSTATE";
// Version 1 knew no key files; version 2 adds them (file types 4 and 5, their body the key).
constexpr std::uint32_t kVersion = 2;
constexpr std::uint32_t kOldestVersion = 1;
constexpr std::size_t kDigestLength = 32;
constexpr std::size_t kHeaderLength = 8 + 4 + 4;
constexpr std::uint16_t kNoParent = 0xFFFF;
// The identity's flags byte.
constexpr std::uint8_t kFlagCounterCommand = 0x01;
constexpr std::uint8_t kFlagNoLargestBlockQuery = 0x02;

std::array<std::uint8_t, kDigestLength> sha256(ByteView bytes) {
    std::array<std::uint8_t, kDigestLength> digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) !=
            1 ||
        length != kDigestLength) {
        throw StateFileError("SHA-256 failed");
    }
    return digest;
}

// Builds the file in memory that wipes itself: the state holds PINs and private keys.
class Writer {
  public:
    void u8(std::uint8_t v) { out_.push_back(v); }
    void u16(std::uint16_t v) {
        out_.push_back(static_cast<std::uint8_t>(v >> 8));
        out_.push_back(static_cast<std::uint8_t>(v));
    }
    void u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v >> 16));
        u16(static_cast<std::uint16_t>(v));
    }
    void raw(ByteView bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }
    void blob(ByteView bytes) {
        u32(static_cast<std::uint32_t>(bytes.size()));
        raw(bytes);
    }
    SecretBytes& bytes() { return out_; }

  private:
    SecretBytes out_;
};

class Reader {
  public:
    explicit Reader(ByteView in) : in_(in) {}
    std::uint8_t u8() { return take(1)[0]; }
    std::uint16_t u16() { return readU16(take(2), 0); }
    std::uint32_t u32() {
        const std::uint32_t high = u16();
        return high << 16 | u16();
    }
    ByteView take(std::size_t n) {
        if (in_.size() - pos_ < n) throw StateFileError("state file is truncated");
        ByteView part = in_.subspan(pos_, n);
        pos_ += n;
        return part;
    }
    Bytes blob() {
        ByteView part = take(u32());
        return Bytes(part.begin(), part.end());
    }
    bool atEnd() const { return pos_ == in_.size(); }

  private:
    ByteView in_;
    std::size_t pos_ = 0;
};

template <typename E>
E enumFrom(std::uint8_t value, std::uint8_t lowest, std::uint8_t highest, const char* what) {
    if (value < lowest || value > highest) throw StateFileError(std::string("bad ") + what);
    return static_cast<E>(value);
}

// A key file's body: nothing while the file holds no key, else algorithm (1), component count
// (1), then per component its number (1), length (2) and bytes.
void encodeKey(Writer& w, const std::optional<KeyObject>& key) {
    if (!key) {
        w.u32(0);
        return;
    }
    std::size_t length = 2;
    for (const auto& [number, value] : key->components) length += 3 + value.size();
    w.u32(static_cast<std::uint32_t>(length));
    w.u8(static_cast<std::uint8_t>(key->algorithm));
    w.u8(static_cast<std::uint8_t>(key->components.size()));
    for (const auto& [number, value] : key->components) {
        w.u8(number);
        w.u16(static_cast<std::uint16_t>(value.size()));
        w.raw(view(value));
    }
}

std::optional<KeyObject> decodeKey(ByteView body) {
    if (body.empty()) return std::nullopt;
    Reader r(body);
    KeyObject key;
    key.algorithm = enumFrom<KeyAlgorithm>(r.u8(), 1, 2, "key algorithm");
    const std::uint8_t count = r.u8();
    for (std::uint8_t i = 0; i < count; ++i) {
        const std::uint8_t number = r.u8();
        const std::uint16_t length = r.u16();
        if (key.has(number)) throw StateFileError("key component stored twice");
        key.set(number, r.take(length));
    }
    if (!r.atEnd()) throw StateFileError("unexpected bytes after a key");
    return key;
}

SecretBytes encodePayload(const TokenState& state) {
    Writer w;
    const DeviceIdentity& id = state.identity;
    w.raw(id.serial);
    w.u8(id.generation);
    w.u32(id.maxBlock);
    w.u8(static_cast<std::uint8_t>((id.pinCounterCommand ? kFlagCounterCommand : 0) |
                                   (id.largestBlockQuery ? 0 : kFlagNoLargestBlockQuery)));
    w.u32(id.capacity);

    const auto& nodes = state.files.nodes();
    w.u32(static_cast<std::uint32_t>(nodes.size()));
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const FileNode& node = nodes[i];
        w.u16(node.fid);
        w.u16(i == FileSystem::kRoot ? kNoParent : static_cast<std::uint16_t>(node.parent));
        w.u8(static_cast<std::uint8_t>(node.type));
        w.u8(static_cast<std::uint8_t>(node.read));
        w.u8(static_cast<std::uint8_t>(node.update));
        w.u8(node.shortId);
        w.u8(node.created ? 1 : 0);
        w.u16(node.recordLength);
        if (node.isKeyFile()) {
            encodeKey(w, node.key);
        } else {
            w.blob(node.body);
        }
    }

    w.u8(static_cast<std::uint8_t>(state.keys.size()));
    for (const ApplicationKeys& keys : state.keys) {
        w.u16(keys.dfFid);
        w.raw(keys.userPin);
        w.raw(keys.adminPin);
    }
    return std::move(w.bytes());
}

TokenState decodePayload(ByteView payload, std::uint32_t version) {
    Reader r(payload);
    TokenState state;
    DeviceIdentity& id = state.identity;
    ByteView serial = r.take(kSerialLength);
    std::copy(serial.begin(), serial.end(), id.serial.begin());
    id.generation = r.u8();
    if (id.generation != 1 && id.generation != 2) throw StateFileError("bad generation");
    id.maxBlock = r.u32();
    const std::uint8_t flags = r.u8();
    id.pinCounterCommand = (flags & kFlagCounterCommand) != 0;
    id.largestBlockQuery = (flags & kFlagNoLargestBlockQuery) == 0;
    id.capacity = r.u32();

    const std::uint32_t count = r.u32();
    if (count == 0 || count > 0xFFFF) throw StateFileError("bad file count");
    for (std::uint32_t i = 0; i < count; ++i) {
        FileNode node;
        node.fid = r.u16();
        const std::uint16_t parent = r.u16();
        node.type = enumFrom<FileType>(r.u8(), 1, version >= 2 ? 5 : 3, "file type");
        node.read = enumFrom<Access>(r.u8(), 0, 2, "access condition");
        node.update = enumFrom<Access>(r.u8(), 0, 2, "access condition");
        node.shortId = r.u8();
        node.created = r.u8() != 0;
        node.recordLength = r.u16();
        if (node.isKeyFile()) {
            node.key = decodeKey(r.take(r.u32()));
        } else {
            node.body = r.blob();
        }
        if (node.type == FileType::Record &&
            (node.recordLength == 0 || node.body.size() % node.recordLength != 0)) {
            throw StateFileError("bad record file");
        }
        if (i == 0) {
            if (parent != kNoParent || node.fid != kMasterFileId || !node.isDf()) {
                throw StateFileError("first file is not the MF");
            }
            continue;  // FileSystem starts with the MF
        }
        if (parent >= i) throw StateFileError("file listed before its directory");
        node.parent = parent;
        try {
            state.files.addNode(std::move(node));
        } catch (const std::invalid_argument& e) {
            throw StateFileError(e.what());
        }
    }

    const std::uint8_t keyCount = r.u8();
    for (std::uint8_t i = 0; i < keyCount; ++i) {
        ApplicationKeys keys;
        keys.dfFid = r.u16();
        ByteView user = r.take(kKeyRecordLength);
        std::copy(user.begin(), user.end(), keys.userPin.begin());
        ByteView admin = r.take(kKeyRecordLength);
        std::copy(admin.begin(), admin.end(), keys.adminPin.begin());
        state.keys.push_back(keys);
    }
    if (!r.atEnd()) throw StateFileError("unexpected bytes after the state");
    if (version == 1) {
        // A token from before key files: give its application directories the key files a
        // fresh token has, empty, so that keys can be generated and written into them.
        for (const ApplicationKeys& keys : state.keys) {
            if (auto df = state.files.child(FileSystem::kRoot, keys.dfFid)) {
                addKeyFiles(state.files, *df);
            }
        }
    }
    return state;
}

// Owns a file descriptor.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closing can report a delayed write error, so the save checks it.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd);
    }

  private:
    int fd_;
};

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path) {
    throw StateFileError(what + " " + path.string() + ": " + std::strerror(errno));
}

}  // namespace

Bytes encodeState(const TokenState& state) {
    Writer w;
    w.raw(ByteView(reinterpret_cast<const std::uint8_t*>(kMagic.data()), kMagic.size()));
    w.u32(kVersion);
    const SecretBytes payload = encodePayload(state);
    w.u32(static_cast<std::uint32_t>(payload.size()));
    w.raw(view(payload));
    const auto digest = sha256(view(w.bytes()));
    w.raw(digest);
    return Bytes(w.bytes().begin(), w.bytes().end());
}

TokenState decodeState(ByteView file) {
    if (file.size() < kHeaderLength + kDigestLength ||
        !std::equal(kMagic.begin(), kMagic.end(), file.begin())) {
        throw StateFileError("not a virtual token state file");
    }
    Reader header(file.subspan(kMagic.size(), 8));
    const std::uint32_t version = header.u32();
    if (version < kOldestVersion || version > kVersion) {
        throw StateFileError("unsupported state file version " + std::to_string(version));
    }
    const std::uint32_t length = header.u32();
    if (file.size() != kHeaderLength + length + kDigestLength) {
        throw StateFileError("state file length does not match its header");
    }
    const ByteView covered = file.first(kHeaderLength + length);
    const auto digest = sha256(covered);
    if (!std::equal(digest.begin(), digest.end(), file.begin() + covered.size())) {
        throw StateFileError("state file checksum mismatch (corrupt file)");
    }
    return decodePayload(file.subspan(kHeaderLength, length), version);
}

namespace {
// Wipes a buffer that held the state file's bytes when it goes.
struct WipeOnExit {
    Bytes& bytes;
    ~WipeOnExit() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};
}  // namespace

void saveStateFile(const std::filesystem::path& path, const TokenState& state, Sync sync) {
    Bytes bytes = encodeState(state);
    const WipeOnExit wipe{bytes};
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    {
        Fd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (fd.get() < 0) fail("cannot create", temporary);
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                fail("cannot write", temporary);
            }
            done += static_cast<std::size_t>(n);
        }
        if (sync == Sync::Full && ::fsync(fd.get()) != 0) fail("cannot sync", temporary);
        if (fd.release() != 0) fail("cannot close", temporary);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) fail("cannot rename over", path);
    if (sync == Sync::None) return;
    std::filesystem::path directory = path.parent_path();
    if (directory.empty()) directory = ".";
    Fd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0 || ::fsync(dir.get()) != 0) fail("cannot sync directory", directory);
}

TokenState loadStateFile(const std::filesystem::path& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) fail("cannot open", path);
    Bytes bytes;
    const WipeOnExit wipe{bytes};
    std::array<std::uint8_t, 65536> chunk;
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot read", path);
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + n);
        OPENSSL_cleanse(chunk.data(), static_cast<std::size_t>(n));
    }
    try {
        return decodeState(bytes);
    } catch (const StateFileError& e) {
        throw StateFileError(path.string() + ": " + e.what());
    }
}

}  // namespace vtoken

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "vtoken/bytes.h"
#include "vtoken/key_object.h"

namespace vtoken {

// Key files hold a key object instead of bytes: neither READ BINARY nor UPDATE BINARY reaches
// them. A public key file's components can be read; a private key file's never leave the token.
enum class FileType : std::uint8_t {
    Dedicated = 1,
    Transparent = 2,
    Record = 3,
    PublicKey = 4,
    PrivateKey = 5,
};

// Who may read or update a file. "User" and "Admin" refer to the PIN verified in the
// current application directory. For a key file, "read" is reading a public component or
// using the key, "update" writing or generating it.
enum class Access : std::uint8_t { Free = 0, User = 1, Admin = 2 };

inline constexpr std::uint16_t kMasterFileId = 0x3F00;

struct FileNode {
    std::uint16_t fid = 0;
    std::size_t parent = 0;  // index of the parent DF; the MF is its own parent
    FileType type = FileType::Dedicated;
    Access read = Access::Free;
    Access update = Access::Free;
    std::uint8_t shortId = 0;  // short file identifier, 0 when the EF has none
    bool created = false;      // made by CREATE FILE: counts against the file capacity
    std::uint16_t recordLength = 0;
    Bytes body;  // transparent content, or the records one after another
    // Key files: the key, once one was generated or written.
    std::optional<KeyObject> key;

    bool isDf() const { return type == FileType::Dedicated; }
    bool isKeyFile() const { return type == FileType::PublicKey || type == FileType::PrivateKey; }
    std::size_t recordCount() const { return recordLength ? body.size() / recordLength : 0; }
};

// The one way a component leaves a key file: from a public key file. A private key file's
// components never leave the token (6982); a file that is not a key file is 6981; no key or no
// such component is 6A88.
const SecretBytes& readKeyComponent(const FileNode& file, std::uint8_t number);

// Writes one component into a key file (a key write command). A file without a key, or with a
// key of the other algorithm, starts a new key of `algorithm`. A private component goes only
// into a private key file and a public one only into a public key file (6A80); 6981 for a file
// that is not a key file.
void writeKeyComponent(FileNode& file, KeyAlgorithm algorithm, std::uint8_t number, ByteView value);

// Stores a generated key pair: the public key file gets the public components, the private key
// file the private ones, each replacing what it held (6981 unless the files are a public and a
// private key file).
void storeKeyPair(FileNode& publicFile, FileNode& privateFile, const KeyObject& pair);

// A tree of DFs and EFs kept as a flat list: index 0 is the MF, and every node names its
// parent by index. Indices stay valid because files are never removed.
class FileSystem {
  public:
    static constexpr std::size_t kRoot = 0;

    FileSystem();

    std::size_t addDf(std::size_t parent, std::uint16_t fid);
    std::size_t addTransparent(std::size_t parent, std::uint16_t fid, std::size_t size, Access read,
                               Access update);
    std::size_t addRecordFile(std::size_t parent, std::uint16_t fid, std::size_t count,
                              std::uint16_t length, Access read, Access update);
    std::size_t addKeyFile(std::size_t parent, std::uint16_t fid, FileType type, Access read,
                           Access update);
    // Restores a node exactly as stored; the caller guarantees that the parent exists.
    std::size_t addNode(FileNode node);

    std::optional<std::size_t> child(std::size_t df, std::uint16_t fid) const;
    std::optional<std::size_t> childByShortId(std::size_t df, std::uint8_t shortId) const;

    // The selection rule: 3F00 is the MF from anywhere; any other identifier is searched
    // among the children of the current DF, then (from below the MF) among the MF's children.
    std::optional<std::size_t> resolve(std::size_t currentDf, std::uint16_t fid) const;

    FileNode& node(std::size_t index) { return nodes_.at(index); }
    const FileNode& node(std::size_t index) const { return nodes_.at(index); }
    const std::vector<FileNode>& nodes() const { return nodes_; }

    // Bytes taken by files made with CREATE FILE.
    std::size_t createdBytes() const;

  private:
    std::vector<FileNode> nodes_;
};

}  // namespace vtoken

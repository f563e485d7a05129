#pragma once

#include <filesystem>
#include <stdexcept>

#include "vtoken/bytes.h"
#include "vtoken/token_state.h"

namespace vtoken {

class StateFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Layout: "VTKSTATE" magic, 32-bit version, 32-bit payload length, payload, then the
// SHA-256 of everything before it. Multi-byte numbers are big-endian.
Bytes encodeState(const TokenState& state);
TokenState decodeState(ByteView file);  // throws StateFileError

// Whether a save waits for the disk. Without it the rename still replaces the file whole, so a
// killed process leaves the old or the new state; only a machine crash can lose the last saves.
enum class Sync { Full, None };

// Writes a temporary file beside the target, fsyncs it, renames it over the target and
// fsyncs the directory, so that a crash leaves either the old or the new file.
void saveStateFile(const std::filesystem::path& path, const TokenState& state,
                   Sync sync = Sync::Full);
TokenState loadStateFile(const std::filesystem::path& path);  // throws StateFileError

}  // namespace vtoken

// Files of any size in and out, piece by piece: the input from a file or standard input, the
// output to standard output or to a file that appears only when everything was written, so
// that a failure half-way leaves no partial result and an existing file unharmed.
#pragma once

#include <cstdint>
#include <fstream>
#include <span>
#include <string>

namespace tokenctl {

class InputStream {
  public:
    // "-" reads standard input. ok() is false (after saying why) when the file cannot be opened.
    explicit InputStream(const std::string& path);
    bool ok() const { return ok_; }
    // Fills `into` as far as the input goes: fewer bytes than asked only at the end. -1 (after
    // saying why) when reading fails.
    long long read(std::span<uint8_t> into);

  private:
    std::string path_;
    std::ifstream file_;
    std::istream* in_ = nullptr;
    bool ok_ = false;
};

class OutputStream {
  public:
    // "-" writes standard output; a file is written under a temporary name beside it.
    explicit OutputStream(const std::string& path);
    ~OutputStream();  // removes the temporary file unless commit() succeeded
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;

    bool ok() const { return ok_; }
    bool write(std::span<const uint8_t> bytes);
    // Puts the file in place (replacing one of that name); false after saying why.
    bool commit();

  private:
    std::string path_;
    std::string temporary_;
    std::ofstream file_;
    bool toStdout_ = false;
    bool ok_ = false;
    bool committed_ = false;
};

}  // namespace tokenctl

#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>

#include "vtoken/bytes.h"

namespace vtoken {

// Appends "> COMMAND" and "< REPLY" lines (upper-case hex) and flushes each one, so that a
// test can read the file while the token runs.
class TraceWriter {
  public:
    explicit TraceWriter(const std::filesystem::path& path);  // throws std::runtime_error

    void command(ByteView apdu);
    void reply(ByteView reply);

  private:
    void line(char direction, ByteView bytes);

    struct Closer {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, Closer> file_;
};

}  // namespace vtoken

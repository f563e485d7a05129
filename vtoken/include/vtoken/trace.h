#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>

#include "vtoken/bytes.h"
#include "vtoken/token.h"

namespace vtoken {

// Appends "> COMMAND" and "< REPLY" lines (upper-case hex) and flushes each one, so that a
// test can read the file while the token runs. Secret bytes are written as "**" each, unless
// the writer was made to show secrets. The file is created readable and writable by its owner
// only, and an existing one is narrowed to that before anything is appended.
class TraceWriter {
  public:
    // Throws std::runtime_error when the file cannot be opened or narrowed.
    explicit TraceWriter(const std::filesystem::path& path, bool showSecrets = false);

    void command(ByteView apdu, ByteRange secret = {});
    // `secretData`: the reply data (everything but the status word) is secret.
    void reply(ByteView reply, bool secretData = false);

    bool showsSecrets() const { return showSecrets_; }

  private:
    void line(char direction, ByteView bytes, ByteRange secret);

    struct Closer {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, Closer> file_;
    bool showSecrets_;
};

}  // namespace vtoken

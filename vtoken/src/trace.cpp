#include "vtoken/trace.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vtoken {

TraceWriter::TraceWriter(const std::filesystem::path& path) : file_(std::fopen(path.c_str(), "a")) {
    if (!file_) {
        throw std::runtime_error("cannot open trace file " + path.string() + ": " +
                                 std::strerror(errno));
    }
}

void TraceWriter::command(ByteView apdu) {
    line('>', apdu);
}

void TraceWriter::reply(ByteView reply) {
    line('<', reply);
}

void TraceWriter::line(char direction, ByteView bytes) {
    const std::string text = std::string(1, direction) + ' ' + toHex(bytes) + '\n';
    std::fwrite(text.data(), 1, text.size(), file_.get());
    std::fflush(file_.get());
}

}  // namespace vtoken

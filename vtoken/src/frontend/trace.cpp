#include "vtoken/trace.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vtoken {

namespace {

constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path) {
    throw std::runtime_error(what + " trace file " + path.string() + ": " + std::strerror(errno));
}

std::FILE* openOwnerOnly(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kOwnerOnly);
    if (fd < 0) fail("cannot open", path);
    struct stat info {};
    if (::fstat(fd, &info) != 0 ||
        ((info.st_mode & 0777) != kOwnerOnly && ::fchmod(fd, kOwnerOnly) != 0)) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        fail("cannot make owner-only the", path);
    }
    std::FILE* file = ::fdopen(fd, "a");
    if (!file) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        fail("cannot open", path);
    }
    return file;
}

}  // namespace

TraceWriter::TraceWriter(const std::filesystem::path& path, bool showSecrets)
    : file_(openOwnerOnly(path)), showSecrets_(showSecrets) {}

void TraceWriter::command(ByteView apdu, ByteRange secret) {
    line('>', apdu, secret);
}

void TraceWriter::reply(ByteView reply, bool secretData) {
    const std::size_t data = reply.size() >= 2 ? reply.size() - 2 : 0;
    line('<', reply, secretData ? ByteRange{0, data} : ByteRange{});
}

void TraceWriter::line(char direction, ByteView bytes, ByteRange secret) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(3 + bytes.size() * 2);
    text.push_back(direction);
    text.push_back(' ');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (!showSecrets_ && i >= secret.offset && i - secret.offset < secret.length) {
            text.append("**");
        } else {
            text.push_back(kDigits[bytes[i] >> 4]);
            text.push_back(kDigits[bytes[i] & 0x0F]);
        }
    }
    text.push_back('\n');
    std::fwrite(text.data(), 1, text.size(), file_.get());
    std::fflush(file_.get());
    // With secrets shown the line may hold them: do not leave it in freed memory.
    if (showSecrets_) OPENSSL_cleanse(text.data(), text.size());
}

}  // namespace vtoken

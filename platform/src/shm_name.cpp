#include "shm_name.h"

#include <cstdint>
#include <cstdio>

namespace platform::detail {
namespace {

// Well below NAME_MAX (255): the name becomes a file name under /dev/shm.
constexpr std::size_t kMaxShmName = 200;

// '/' may only lead a shared-memory name and '\\' is best kept out of file names.
void appendFlattened(std::string& out, std::string_view part) {
    for (char c : part) out.push_back(c == '/' || c == '\\' ? '.' : c);
}

std::uint64_t fnv1a64(std::string_view s) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : s) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}

}  // namespace

std::string shmNameFor(std::string_view name, std::string_view space) {
    std::string out = "/tarvex.";
    if (!space.empty()) {
        appendFlattened(out, space);
        out.push_back('.');
    }
    appendFlattened(out, name);
    if (out.size() <= kMaxShmName) return out;

    // Keep a readable head so that a listing of /dev/shm still tells what the object is.
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(fnv1a64(out)));
    out.resize(kMaxShmName - 17);
    out.push_back('~');
    out += hash;
    return out;
}

}  // namespace platform::detail

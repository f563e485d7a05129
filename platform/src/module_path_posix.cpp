#include <dlfcn.h>

#include "platform/module_path.h"

namespace platform {

std::filesystem::path moduleFolder(const void* address) {
    Dl_info info{};
    if (::dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
    std::error_code ec;
    const std::filesystem::path file = std::filesystem::canonical(info.dli_fname, ec);
    return ec ? std::filesystem::path(info.dli_fname).parent_path() : file.parent_path();
}

}  // namespace platform

#include "binary_file.h"

#include <fstream>
#include <iostream>
#include <iterator>

namespace tokenctl {

std::optional<std::vector<uint8_t>> readWholeFile(const std::string& path, size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "tokenctl: cannot read " << path << "\n";
        return std::nullopt;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    if (bytes.size() > limit) {
        std::cerr << "tokenctl: " << path << " has " << bytes.size() << " bytes, more than the "
                  << limit << " a token takes\n";
        return std::nullopt;
    }
    return bytes;
}

bool writeWholeFile(const std::string& path, std::span<const uint8_t> bytes) {
    if (path == "-") {
        std::cout.write(reinterpret_cast<const char*>(bytes.data()),
                        static_cast<std::streamsize>(bytes.size()));
        std::cout.flush();
        return static_cast<bool>(std::cout);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::cerr << "tokenctl: cannot write " << path << "\n";
        return false;
    }
    return true;
}

}  // namespace tokenctl

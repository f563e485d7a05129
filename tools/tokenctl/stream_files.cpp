#include "stream_files.h"

#include <filesystem>
#include <iostream>
#include <random>
#include <system_error>

namespace tokenctl {

InputStream::InputStream(const std::string& path) : path_(path) {
    if (path == "-") {
        in_ = &std::cin;
    } else {
        file_.open(path, std::ios::binary);
        in_ = &file_;
    }
    ok_ = static_cast<bool>(*in_);
    if (!ok_) std::cerr << "tokenctl: cannot read " << path << "\n";
}

long long InputStream::read(std::span<uint8_t> into) {
    in_->read(reinterpret_cast<char*>(into.data()), static_cast<std::streamsize>(into.size()));
    const std::streamsize got = in_->gcount();
    if (in_->bad() || (!*in_ && !in_->eof())) {
        std::cerr << "tokenctl: cannot read " << path_ << "\n";
        return -1;
    }
    return got;
}

OutputStream::OutputStream(const std::string& path) : path_(path) {
    if (path == "-") {
        toStdout_ = true;
        ok_ = true;
        return;
    }
    // A name of our own beside the target, so that the final rename stays on one file system.
    std::random_device random;
    temporary_ = path + ".tokenctl-" + std::to_string(random()) + ".part";
    file_.open(temporary_, std::ios::binary | std::ios::trunc);
    ok_ = static_cast<bool>(file_);
    if (!ok_) std::cerr << "tokenctl: cannot write " << path << "\n";
}

OutputStream::~OutputStream() {
    if (toStdout_ || committed_ || temporary_.empty()) return;
    file_.close();
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
}

bool OutputStream::write(std::span<const uint8_t> bytes) {
    std::ostream& out = toStdout_ ? std::cout : file_;
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::cerr << "tokenctl: cannot write " << path_ << "\n";
        return false;
    }
    return true;
}

bool OutputStream::commit() {
    if (toStdout_) {
        std::cout.flush();
        if (!std::cout) std::cerr << "tokenctl: cannot write " << path_ << "\n";
        return static_cast<bool>(std::cout);
    }
    file_.close();
    std::error_code error;
    if (file_.fail()) {
        std::cerr << "tokenctl: cannot write " << path_ << "\n";
        return false;
    }
    std::filesystem::rename(temporary_, path_, error);
    if (error) {
        std::cerr << "tokenctl: cannot write " << path_ << ": " << error.message() << "\n";
        return false;
    }
    committed_ = true;
    return true;
}

}  // namespace tokenctl

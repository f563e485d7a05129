// The request handler over fake disks, with request builders and a reader of the answer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "diskgate/request_record.h"
#include "fake_disks.h"
#include "request_handler.h"

namespace fixture {

using Bytes = fake::Bytes;

// A request record, built field by field.
struct Request {
    Bytes bytes = Bytes(diskgate::record::kSize, 0);
    Request& word(std::size_t offset, std::uint32_t value) {
        diskgate::record::store32(bytes, offset, value);
        return *this;
    }
    Request& data(std::size_t offset, const Bytes& b) {
        std::copy(b.begin(), b.end(), bytes.begin() + offset);
        return *this;
    }
};

Request enumerate();
Request openByIndex(std::uint32_t index);
Request closeHandle(std::uint32_t handle);
Request exchange(std::uint32_t handle, const Bytes& command);
Request exchangeDeclaring(std::uint32_t handle, std::uint32_t length, const Bytes& command);
Request openByPath(const std::string& path);
Request openByPathDeclaring(std::uint32_t length, const std::string& path);
Request command(std::uint32_t code);

struct Answer {
    Bytes bytes;  // the whole answer buffer: sentinel 0xEE past what the handler wrote
    std::size_t used = 0;
    std::uint32_t word(std::size_t offset) const { return diskgate::record::load32(bytes, offset); }
    std::uint32_t result() const { return word(0); }
    Bytes data(std::size_t offset, std::size_t length) const {
        return Bytes(bytes.begin() + offset, bytes.begin() + offset + length);
    }
};

class Service {
  public:
    explicit Service(std::vector<fake::Disk> disks = {});
    Answer call(const Request& request);
    // Discovery, then open by index: the handle.
    std::uint32_t openToken(std::uint32_t index);

    fake::Disks io;
    std::vector<std::string> diagnostics;
    diskgate::RequestHandler handler;
};

}  // namespace fixture

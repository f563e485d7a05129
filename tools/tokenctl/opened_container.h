// A container of a token, opened by name for the length of one command and closed on every
// path (closing also ends the PIN directory the open chose).
#pragma once

#include <cstdint>
#include <string>

#include "tokenapi.h"

namespace tokenctl {

class OpenedContainer {
  public:
    // A named container of the container directory first; otherwise one of the two containers
    // that 'containers ls' shows by serial number (names ending in 1 or 2).
    OpenedContainer(DeviceHandle* device, const std::string& name);
    ~OpenedContainer();
    OpenedContainer(const OpenedContainer&) = delete;
    OpenedContainer& operator=(const OpenedContainer&) = delete;

    explicit operator bool() const { return handle_ != nullptr; }
    int32_t result() const { return result_; }
    ContainerHandle* get() const { return handle_; }
    // After a successful X_DestroyContainer the handle is gone already.
    void release() { handle_ = nullptr; }

  private:
    DeviceHandle* device_;
    ContainerHandle* handle_ = nullptr;
    int32_t result_ = 0;
};

}  // namespace tokenctl

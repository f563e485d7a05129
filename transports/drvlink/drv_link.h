// The driver transport: tokens with a device driver of their own, reached through plain reads
// and writes on the device, each exchange framed (frame.h) and serialised across processes by
// a named mutex per device.
//
// The engine takes the device class and its time limits as arguments so that tests can point it
// at their own device nodes and shorten the waits; the exported NDKEY_ functions run one engine
// on the token's device class.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/device_interfaces.h"
#include "transports/transport.h"

namespace drvlink {

struct Options {
    // How long the token may take to start its reply: its longest operation (an RSA-2048 key
    // pair) takes well under a minute.
    std::chrono::milliseconds replyLimit{60000};
    // Every other wait: a write, and the rest of a reply once its header came.
    std::chrono::milliseconds transferLimit{10000};
};

class DrvLink {
  public:
    DrvLink(std::function<platform::DeviceInterfaceClass()> deviceClass, Options options)
        : deviceClass_(std::move(deviceClass)), options_(options) {}

    int32_t enumerate(int32_t* count);
    int32_t connect(TransportHandle** handle, char* identification, int32_t index);
    int32_t disconnect(TransportHandle* handle);
    int32_t doCommand(TransportHandle* handle, const uint8_t* command, int32_t commandLength,
                      uint8_t* reply, int32_t* replyLength);

  private:
    std::function<platform::DeviceInterfaceClass()> deviceClass_;
    Options options_;
    // The table of the last enumeration. Callers enumerate and connect from one thread at a
    // time; the lock only keeps a mistaken second thread from tearing it.
    std::mutex mutex_;
    std::vector<platform::DeviceInterface> table_;
};

}  // namespace drvlink

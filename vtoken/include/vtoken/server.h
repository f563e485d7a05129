#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "vtoken/card_session.h"

namespace vtoken {

struct ServerOptions {
    std::string vpcdHost = "127.0.0.1";
    std::uint16_t vpcdPort = 35963;
    std::optional<std::filesystem::path> controlSocket;
    std::chrono::milliseconds firstBackoff{100};
    std::chrono::milliseconds maxBackoff{800};
};

// Serves the card to vpcd and answers the control channel, on one thread with poll():
// connects to vpcd (retrying with back-off), answers control messages and APDUs, and keeps
// the card out after a drop until "reinsert".
class Server {
  public:
    Server(CardSession& session, ServerOptions options);  // throws std::system_error
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Runs until requestStop().
    void run();
    // Safe from a signal handler and from other threads.
    void requestStop() noexcept;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vtoken

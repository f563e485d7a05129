#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>

#include "vtoken/apdu.h"
#include "vtoken/bytes.h"
#include "vtoken/session_state.h"
#include "vtoken/status_word.h"
#include "vtoken/token_state.h"

namespace vtoken {

struct Reply {
    Bytes data;
    std::uint16_t sw = sw::kSuccess;
};

// Settings changed at run time (control channel, --fault); they override the stored values
// and are never persisted.
struct RuntimeOverrides {
    std::optional<std::uint8_t> generation;
    std::optional<std::uint32_t> maxBlock;
};

// What a handler works on. Handlers that change persistent state call markChanged() so that
// the token saves it before answering.
class CommandContext {
  public:
    CommandContext(TokenState& state, SessionState& session, const RuntimeOverrides& overrides)
        : state_(state), session_(session), overrides_(overrides) {}

    TokenState& state() { return state_; }
    SessionState& session() { return session_; }
    FileSystem& files() { return state_.files; }

    std::uint8_t generation() const;
    std::uint32_t maxBlock() const;

    void markChanged() { changed_ = true; }
    bool changed() const { return changed_; }

    // Refuses with 6982 unless the current application's security state grants `access`.
    void requireAccess(Access access);
    // The current EF, or 6986 when there is none.
    FileNode& currentEf();
    // The current application's PINs; 6A88 when the directory has none.
    ApplicationKeys& applicationKeys();

    // Keeps `data` for GET RESPONSE and answers 61xx.
    Reply deferResponse(Bytes data);

  private:
    TokenState& state_;
    SessionState& session_;
    const RuntimeOverrides& overrides_;
    bool changed_ = false;
};

using Handler = std::function<Reply(CommandContext&, const Apdu&)>;

struct CommandSpec {
    LengthForm form = LengthForm::Iso;
    // Accept bytes after the data (and Le) instead of answering 6700.
    bool toleratesTrailing = false;
};

class CommandTable {
  public:
    struct Entry {
        Handler handler;
        CommandSpec spec;
    };

    // A later registration for the same CLA/INS replaces the earlier one.
    void add(std::uint8_t cla, std::uint8_t ins, Handler handler, CommandSpec spec = {});
    const Entry* find(std::uint8_t cla, std::uint8_t ins) const;
    bool knowsClass(std::uint8_t cla) const;

  private:
    std::map<std::uint16_t, Entry> entries_;
};

// The command groups; each registers its handlers.
void addFileCommands(CommandTable& table);
void addSecurityCommands(CommandTable& table);
void addDeviceCommands(CommandTable& table);

}  // namespace vtoken

#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>

#include "vtoken/apdu.h"
#include "vtoken/bytes.h"
#include "vtoken/rsa_keys.h"
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
    std::optional<bool> largestBlockQuery;
};

// Which bytes of a command and of its reply carry secrets: PIN key records, authentication
// cryptograms and the challenges they answer, private key components, cipher keys, plaintext.
// The trace masks them unless the token was started with secrets shown.
struct Secrets {
    bool command = false;  // the command's data field
    bool reply = false;    // the reply data
};
inline constexpr Secrets kNoSecrets{};
inline constexpr Secrets kSecretCommand{true, false};
inline constexpr Secrets kSecretReply{false, true};
inline constexpr Secrets kSecretBoth{true, true};

// What a handler works on. Handlers that change persistent state call markChanged() so that
// the token saves it before answering.
class CommandContext {
  public:
    CommandContext(TokenState& state, SessionState& session, const RuntimeOverrides& overrides,
                   Secrets secrets = {}, RsaKeySource* rsaKeys = nullptr)
        : state_(state),
          session_(session),
          overrides_(overrides),
          secrets_(secrets),
          rsaKeys_(rsaKeys) {}

    TokenState& state() { return state_; }
    SessionState& session() { return session_; }
    FileSystem& files() { return state_.files; }
    Registers& registers() { return session_.registers; }
    // Where new RSA key pairs come from (a pool in test suites); throws when there is none.
    RsaKeySource& rsaKeys();

    std::uint8_t generation() const;
    std::uint32_t maxBlock() const;
    // False for a token without the largest-block query.
    bool answersLargestBlock() const;

    void markChanged() { changed_ = true; }
    bool changed() const { return changed_; }
    // This reply carries secrets although the command's declaration does not say so (GET
    // RESPONSE handing out what a secret reply left pending).
    void markReplySecret() { replySecret_ = true; }
    bool replySecret() const { return replySecret_; }

    // Refuses with 6982 unless the current application's security state grants `access`.
    void requireAccess(Access access);
    // The current EF, or 6986 when there is none.
    FileNode& currentEf();
    // The current application's PINs; 6A88 when the directory has none.
    ApplicationKeys& applicationKeys();
    // The key file selected last (the current EF) when it is of `type`: 6986 when no EF is
    // current, 6981 when the current EF is not such a key file. Access is the caller's check.
    FileNode& selectedKeyFile(FileType type);

    // Keeps `data` for GET RESPONSE and answers 61xx. The pending bytes are as secret as this
    // command's reply.
    Reply deferResponse(Bytes data);

  private:
    TokenState& state_;
    SessionState& session_;
    const RuntimeOverrides& overrides_;
    Secrets secrets_;
    RsaKeySource* rsaKeys_;
    bool changed_ = false;
    bool replySecret_ = false;
};

using Handler = std::function<Reply(CommandContext&, const Apdu&)>;

struct CommandSpec {
    LengthForm form = LengthForm::Iso;
    // Accept bytes after the data (and Le) instead of answering 6700.
    bool toleratesTrailing = false;
    // The secret parts of every command of this CLA/INS...
    Secrets secrets = kNoSecrets;
    // ...or, when set, of the command with these P1 and P2 (for example only the private
    // components of a key write).
    std::function<Secrets(std::uint8_t p1, std::uint8_t p2)> secretsFor = {};

    Secrets secretsOf(std::uint8_t p1, std::uint8_t p2) const {
        return secretsFor ? secretsFor(p1, p2) : secrets;
    }
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

}  // namespace vtoken

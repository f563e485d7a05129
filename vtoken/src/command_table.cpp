#include "vtoken/command_table.h"

#include <openssl/crypto.h>

#include <stdexcept>

namespace vtoken {

namespace {
std::uint16_t key(std::uint8_t cla, std::uint8_t ins) {
    return static_cast<std::uint16_t>(cla << 8 | ins);
}
}  // namespace

void CommandTable::add(std::uint8_t cla, std::uint8_t ins, Handler handler, CommandSpec spec) {
    entries_[key(cla, ins)] = Entry{std::move(handler), spec};
}

const CommandTable::Entry* CommandTable::find(std::uint8_t cla, std::uint8_t ins) const {
    auto found = entries_.find(key(cla, ins));
    return found == entries_.end() ? nullptr : &found->second;
}

bool CommandTable::knowsClass(std::uint8_t cla) const {
    auto first = entries_.lower_bound(key(cla, 0x00));
    return first != entries_.end() && (first->first >> 8) == cla;
}

std::uint8_t CommandContext::generation() const {
    return overrides_.generation.value_or(state_.identity.generation);
}

std::uint32_t CommandContext::maxBlock() const {
    return overrides_.maxBlock.value_or(state_.identity.maxBlock);
}

bool CommandContext::answersLargestBlock() const {
    return overrides_.largestBlockQuery.value_or(state_.identity.largestBlockQuery);
}

void CommandContext::requireAccess(Access access) {
    const Verified& verified = session_.applicationState();
    switch (access) {
        case Access::Free:
            return;
        case Access::User:
            if (verified.user) return;
            break;
        case Access::Admin:
            if (verified.admin) return;
            break;
    }
    refuse(sw::kSecurityNotSatisfied);
}

FileNode& CommandContext::currentEf() {
    if (!session_.currentEf) refuse(sw::kNoCurrentEf);
    return state_.files.node(*session_.currentEf);
}

ApplicationKeys& CommandContext::applicationKeys() {
    ApplicationKeys* keys = state_.keysFor(session_.currentApplication);
    if (!keys) refuse(sw::kKeyNotFound);
    return *keys;
}

RsaKeySource& CommandContext::rsaKeys() {
    if (!rsaKeys_) throw std::logic_error("no source of RSA keys");
    return *rsaKeys_;
}

FileNode& CommandContext::selectedKeyFile(FileType type) {
    FileNode& file = currentEf();
    if (file.type != type) refuse(sw::kIncompatibleFile);
    return file;
}

Reply CommandContext::deferResponse(Bytes data) {
    const std::size_t waiting = data.size();
    session_.pendingResponse = secretCopy(data);
    if (secrets_.reply) OPENSSL_cleanse(data.data(), data.size());
    session_.pendingSecret = secrets_.reply;
    return Reply{{}, sw::moreData(waiting >= 256 ? 0 : waiting)};
}

}  // namespace vtoken

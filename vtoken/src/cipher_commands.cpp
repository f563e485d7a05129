// The cipher commands: the key and initial-value loads, and data through the loaded key in the
// short form (80 C6) and the two- and four-byte forms (90 C6).
//
// The key load empties the initial-value register; a data command enciphers block by block
// (ECB) while that register is empty, and chained from it (CBC) once the host has loaded one.
// The register keeps its value: the host loads it again before every CBC chunk.
#include <algorithm>

#include "vtoken/cipher_engine.h"
#include "vtoken/command_families.h"

namespace vtoken {
namespace {

constexpr std::uint8_t kEncrypt = 0x00;
constexpr std::uint8_t kDecrypt = 0x01;
constexpr std::uint8_t kLoadKey = 0x02;
constexpr std::uint8_t kLoadInitialValue = 0x03;

constexpr std::uint16_t kNoKeyLoaded = 0x6901;
constexpr std::uint16_t kUnknownAlgorithm = 0x6A81;

Reply loadKey(CommandContext& context, const Apdu& apdu) {
    const cipher::Algorithm* algorithm = cipher::algorithmFor(apdu.p1);
    if (algorithm == nullptr) refuse(kUnknownAlgorithm);
    if (apdu.data.size() != algorithm->keyLength) refuse(sw::kWrongLength);
    Registers& registers = context.registers();
    registers.cipherKey = Registers::CipherKey{apdu.p1, secretCopy(apdu.data)};
    registers.initialValue.reset();
    return {};
}

Reply loadInitialValue(CommandContext& context, const Apdu& apdu) {
    if (apdu.p1 != 0x00) refuse(sw::kWrongP1P2);
    auto& value = context.registers().initialValue;
    if (apdu.data.size() != cipher::kInitialValueLength) refuse(sw::kWrongLength);
    value.emplace();
    std::copy(apdu.data.begin(), apdu.data.end(), value->begin());
    return {};
}

Reply process(CommandContext& context, const Apdu& apdu) {
    if (apdu.p1 != 0x00 || (apdu.p2 != kEncrypt && apdu.p2 != kDecrypt)) refuse(sw::kWrongP1P2);
    const Registers& registers = context.registers();
    if (!registers.cipherKey) refuse(kNoKeyLoaded);
    const cipher::Algorithm& algorithm = *cipher::algorithmFor(registers.cipherKey->algorithm);
    if (apdu.data.empty() || apdu.data.size() % algorithm.blockLength != 0) {
        refuse(sw::kWrongLength);
    }
    Reply reply;
    reply.data.resize(apdu.data.size());
    cipher::apply(algorithm, view(registers.cipherKey->key), registers.initialValue,
                  apdu.p2 == kEncrypt ? cipher::Direction::Encrypt : cipher::Direction::Decrypt,
                  apdu.data, reply.data);
    return reply;
}

Reply shortForm(CommandContext& context, const Apdu& apdu) {
    switch (apdu.p2) {
        case kLoadKey:
            return loadKey(context, apdu);
        case kLoadInitialValue:
            return loadInitialValue(context, apdu);
        default:
            return process(context, apdu);
    }
}

// The two- and four-byte forms take at most the largest block the token reports.
Reply wideForm(CommandContext& context, const Apdu& apdu) {
    if (apdu.data.size() > context.maxBlock()) refuse(sw::kWrongLength);
    return process(context, apdu);
}

// The key, and the plain text on its way in (encrypting) or out (decrypting).
Secrets secretsOf(std::uint8_t, std::uint8_t p2) {
    switch (p2) {
        case kLoadKey:
        case kEncrypt:
            return kSecretCommand;
        case kDecrypt:
            return kSecretReply;
        default:
            return kNoSecrets;
    }
}

}  // namespace

void addCipherCommands(CommandTable& table) {
    table.add(0x80, 0xC6, shortForm, {.secretsFor = secretsOf});
    table.add(0x90, 0xC6, wideForm, {.form = LengthForm::Wide, .secretsFor = secretsOf});
}

}  // namespace vtoken

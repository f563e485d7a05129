// Commands about the token as a whole: list, info, apdu, label.
#include <array>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include "command_table.h"
#include "hex_text.h"
#include "token_session.h"

namespace tokenctl {
namespace {

std::string transportName(char tag) {
    switch (tag) {
        case 'C':
            return "PC/SC";
        case 'D':
            return "driver";
        case 'H':
            return "disk";
        case 'M':
            return "SD card";
    }
    return "unknown";
}

struct Identity {
    int32_t result = 0;
    std::string transport, serial, label;
};

Identity identify(DeviceHandle* device) {
    Identity id;
    char tag = 0;
    X_GetDEVTransport(device, &tag);
    id.transport = transportName(tag);
    std::array<uint8_t, 64> serial{};
    uint32_t serialLength = 0;
    if (id.result = X_GetDEVInfo(device, XINFO_SERIAL, serial.data(), &serialLength); id.result)
        return id;
    id.serial.assign(reinterpret_cast<char*>(serial.data()), serialLength);
    std::array<uint8_t, 65> label{};
    uint32_t labelLength = 0;
    if (id.result = X_GetDEVLabel(device, label.data(), &labelLength); id.result) return id;
    id.label.assign(reinterpret_cast<char*>(label.data()), labelLength);
    return id;
}

int list(Args args) {
    if (!args.empty()) return usage("list takes no arguments");
    uint32_t count = 0;
    X_EnumDEV(0, &count);
    if (count == 0) {
        std::cout << "No token found.\n";
        return kExitOk;
    }
    std::cout << std::left << std::setw(4) << "#" << std::setw(10) << "transport" << std::setw(22)
              << "serial"
              << "label\n";
    int exitCode = kExitOk;
    for (uint32_t n = 0; n < count; ++n) {
        DeviceHandle* device = nullptr;
        std::cout << std::left << std::setw(4) << n;
        if (int32_t r = X_ConnectDEV(&device, static_cast<int32_t>(n)); r != 0) {
            std::cout << "(cannot connect: " << describeResult(r) << ")\n";
            exitCode = kExitFailed;
            continue;
        }
        Identity id = identify(device);
        X_DisConnectDEV(device);
        std::cout << std::setw(10) << id.transport;
        if (id.result != 0) {
            std::cout << "(cannot read: " << describeResult(id.result) << ")\n";
            exitCode = kExitFailed;
            continue;
        }
        std::cout << std::setw(22) << id.serial << id.label << "\n";
    }
    return exitCode;
}

int info(Args args) {
    if (args.size() != 1) return usage("usage: tokenctl info N");
    TokenSession token(args[0]);
    if (!token) return token.exitCode();
    Identity id = identify(token.device());
    if (id.result != 0) return fail("cannot read the token", id.result);

    std::array<uint8_t, 64> buffer{};
    uint32_t length = 0;
    std::string name = "?";
    if (X_GetDEVInfo(token.device(), XINFO_NAME, buffer.data(), &length) == 0)
        name.assign(reinterpret_cast<char*>(buffer.data()), length);

    std::cout << "token " << args[0] << "\n"
              << "  transport:  " << id.transport << "\n"
              << "  name:       " << name << "\n"
              << "  label:      " << id.label << "\n"
              << "  serial:     " << id.serial << "\n";

    if (int32_t r = X_GetDEVInfo(token.device(), XINFO_SECURITY_STATE, buffer.data(), &length); r)
        std::cout << "  user PIN:   (" << describeResult(r) << ")\n";
    else
        std::cout << "  user PIN:   " << (buffer[0] == 1 ? "verified" : "not verified") << "\n";

    if (int32_t r = X_GetDEVInfo(token.device(), XINFO_ADMIN_RETRIES, buffer.data(), &length); r)
        std::cout << "  admin PIN:  (" << describeResult(r) << ")\n";
    else
        std::cout << "  admin PIN:  " << (buffer[0] & 0x0F) << " of " << (buffer[0] >> 4)
                  << " tries left\n";
    return kExitOk;
}

int apdu(Args args) {
    if (args.size() < 2) return usage("usage: tokenctl apdu N HEX...");
    auto command = parseHex(args.subspan(1));
    if (!command) return usage("the command must be hexadecimal bytes, e.g. 00A4000002 3F00");
    TokenSession token(args[0]);
    if (!token) return token.exitCode();

    std::vector<uint8_t> reply(64 * 1024);
    uint32_t replyLength = static_cast<uint32_t>(reply.size());
    int32_t status = 0;
    int32_t r =
        X_TransmitCmd(token.device(), command->data(), static_cast<uint32_t>(command->size()),
                      reply.data(), &replyLength, &status);
    if (r != 0) return fail("exchange failed", r);
    if (status < 0x6000 || status > 0x9FFF) return fail("exchange failed", status);
    if (replyLength != 0)
        std::cout << "reply:  " << toHexUpper({reply.data(), replyLength}) << "\n";
    char sw[8];
    std::snprintf(sw, sizeof sw, "%04X", static_cast<unsigned>(status));
    std::cout << "status: " << sw << "\n";
    return kExitOk;
}

int label(Args args) {
    if (args.size() != 2) return usage("usage: tokenctl label N TEXT");
    if (args[1].size() > 64) return usage("a label has at most 64 bytes");
    TokenSession token(args[0]);
    if (!token) return token.exitCode();
    const auto& text = args[1];
    int32_t r = X_SetDEVLabel(token.device(), reinterpret_cast<const uint8_t*>(text.data()),
                              static_cast<uint32_t>(text.size()));
    if (r != 0) return fail("cannot write the label", r);
    std::cout << "label of token " << args[0] << " set to \"" << text << "\"\n";
    return kExitOk;
}

const Registration kList{{"list", "", "list every token: number, transport, serial, label", list}};
const Registration kInfo{{"info", "N", "show what token N says about itself", info}};
const Registration kApdu{
    {"apdu", "N HEX...", "send one raw command, print reply and status", apdu}};
const Registration kLabel{
    {"label", "N TEXT", "write the label of token N (at most 64 bytes)", label}};

}  // namespace
}  // namespace tokenctl

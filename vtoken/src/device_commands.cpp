// Device status, serial, largest cipher block and clear device.
#include "vtoken/command_families.h"

namespace vtoken {

namespace {

constexpr std::size_t kStatusRecordLength = 15;

// Commands that only read a fixed-size answer: parameters 00 00, no data, Le = that size.
void checkFixedRead(const Apdu& apdu, std::size_t length) {
    if (apdu.p1 != 0 || apdu.p2 != 0) refuse(sw::kWrongP1P2);
    if (!apdu.data.empty()) refuse(sw::kWrongLength);
    if (apdu.le != length) refuse(sw::wrongLe(length));
}

Reply deviceStatus(CommandContext& context, const Apdu& apdu) {
    checkFixedRead(apdu, kStatusRecordLength);
    const std::uint8_t generation = context.generation();
    const std::size_t capacity = context.state().identity.capacity;
    const std::size_t used = context.files().createdBytes();
    const std::size_t free = capacity > used ? capacity - used : 0;
    const bool userVerified = context.session().applicationState().user;

    Bytes record(kStatusRecordLength, 0);
    record[0] = 0x01;  // record format
    record[1] = 0x03;  // firmware major
    record[2] = 0x01;  // firmware minor
    record[3] = generation == 1 ? 0x01 : 0x02;
    record[4] = generation == 1 ? 0x02 : 0x00;
    record[5] = 0x04;  // container slots
    record[6] = 0x02;  // application directories
    record[7] = 0x00;
    record[8] = (generation != 1 && userVerified) ? 0x01 : 0x00;
    record[9] = static_cast<std::uint8_t>(capacity >> 8);
    record[10] = static_cast<std::uint8_t>(capacity);
    record[11] = 0x14;  // file directory records
    record[12] = 0x00;
    record[13] = static_cast<std::uint8_t>(free >> 8);
    record[14] = static_cast<std::uint8_t>(free);
    return Reply{std::move(record)};
}

Reply serialNumber(CommandContext& context, const Apdu& apdu) {
    const auto& serial = context.state().identity.serial;
    checkFixedRead(apdu, serial.size());
    return Reply{Bytes(serial.begin(), serial.end())};
}

Reply maxBlock(CommandContext& context, const Apdu& apdu) {
    if (!context.answersLargestBlock()) refuse(sw::kInsNotSupported);
    checkFixedRead(apdu, 4);
    const std::uint32_t value = context.maxBlock();
    return Reply{Bytes{static_cast<std::uint8_t>(value >> 24),
                       static_cast<std::uint8_t>(value >> 16),
                       static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)}};
}

// Clear device: forget every verified PIN and blank the label file. Keys, containers,
// certificates and files stay.
Reply clearDevice(CommandContext& context, const Apdu& apdu) {
    if (apdu.p1 != 0x00 || apdu.p2 != 0x01) refuse(sw::kWrongP1P2);
    if (!apdu.data.empty()) refuse(sw::kWrongLength);
    SessionState& session = context.session();
    session.verified.clear();
    session.challenge.reset();
    if (auto label = context.files().child(FileSystem::kRoot, kLabelFileId)) {
        Bytes& body = context.files().node(*label).body;
        std::fill(body.begin(), body.end(), 0);
        context.markChanged();
    }
    return {};
}

}  // namespace

void addDeviceCommands(CommandTable& table) {
    table.add(0xBF, 0xC8, deviceStatus);
    table.add(0xBF, 0xC4, serialNumber);
    table.add(0xBF, 0xC0, maxBlock);
    table.add(0xBF, 0x64, clearDevice);
    table.add(0xBF, 0x74, clearDevice);
}

}  // namespace vtoken

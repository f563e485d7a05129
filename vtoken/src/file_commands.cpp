// SELECT, READ/UPDATE BINARY, READ/UPDATE RECORD and CREATE FILE.
#include <algorithm>

#include "vtoken/command_families.h"

namespace vtoken {

namespace {

constexpr std::uint8_t kShortIdFlag = 0x80;
constexpr std::uint8_t kRecordNumberInP1 = 0x04;
constexpr std::size_t kCreateControlLength = 13;
constexpr std::uint8_t kProtectedAccess = 0x11;

void makeCurrent(SessionState& session, const FileSystem& files, std::size_t index) {
    const FileNode& node = files.node(index);
    if (node.isDf()) {
        session.currentDf = index;
        session.currentEf.reset();
    } else {
        // An EF of the MF reached from an application leaves that application current, so that
        // a look at the container directory does not take the application's files away.
        session.currentEf = index;
    }
    if (session.currentDf != FileSystem::kRoot) {
        session.currentApplication = files.node(session.currentDf).fid;
    }
}

Reply select(CommandContext& context, const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 != 0) refuse(sw::kWrongP1P2);
    if (apdu.data.size() != 2) refuse(sw::kWrongLength);
    const std::uint16_t fid = readU16(apdu.data, 0);
    auto found = context.files().resolve(context.session().currentDf, fid);
    if (!found) refuse(sw::kFileNotFound);
    makeCurrent(context.session(), context.files(), *found);
    return {};
}

struct BinaryTarget {
    FileNode* file;
    std::size_t offset;
};

// P1 with bit 8 set names an EF of the current DF by short identifier (and makes it
// current); otherwise P1-P2 is an offset into the current EF.
BinaryTarget binaryTarget(CommandContext& context, const Apdu& apdu) {
    BinaryTarget target{};
    if (apdu.p1 & kShortIdFlag) {
        if (apdu.p1 & 0x60) refuse(sw::kWrongP1P2);
        const std::uint8_t shortId = apdu.p1 & 0x1F;
        auto found = context.files().childByShortId(context.session().currentDf, shortId);
        if (shortId == 0 || !found) refuse(sw::kFileNotFound);
        makeCurrent(context.session(), context.files(), *found);
        target.offset = apdu.p2;
    } else {
        target.offset = apdu.offset();
    }
    target.file = &context.currentEf();
    if (target.file->type != FileType::Transparent) refuse(sw::kIncompatibleFile);
    return target;
}

Reply readBinary(CommandContext& context, const Apdu& apdu) {
    if (!apdu.data.empty()) refuse(sw::kWrongLength);
    const BinaryTarget target = binaryTarget(context, apdu);
    context.requireAccess(target.file->read);
    const Bytes& body = target.file->body;
    if (target.offset >= body.size()) refuse(sw::kOffsetBeyondEnd);
    const std::size_t available = body.size() - target.offset;
    const std::size_t wanted = apdu.le.value_or(256);
    if (wanted > available) refuse(sw::wrongLe(available));
    const auto begin = body.begin() + static_cast<std::ptrdiff_t>(target.offset);
    return Reply{Bytes(begin, begin + static_cast<std::ptrdiff_t>(wanted))};
}

Reply updateBinary(CommandContext& context, const Apdu& apdu) {
    if (apdu.data.empty() || apdu.le) refuse(sw::kWrongLength);
    const BinaryTarget target = binaryTarget(context, apdu);
    context.requireAccess(target.file->update);
    Bytes& body = target.file->body;
    if (target.offset >= body.size()) refuse(sw::kOffsetBeyondEnd);
    if (apdu.data.size() > body.size() - target.offset) refuse(sw::kWrongLength);
    std::copy(apdu.data.begin(), apdu.data.end(),
              body.begin() + static_cast<std::ptrdiff_t>(target.offset));
    context.markChanged();
    return {};
}

// The record file and the 0-based byte offset of the record that P1 names.
std::pair<FileNode*, std::size_t> recordTarget(CommandContext& context, const Apdu& apdu) {
    if (apdu.p2 != kRecordNumberInP1 || apdu.p1 == 0) refuse(sw::kWrongP1P2);
    FileNode& file = context.currentEf();
    if (file.type != FileType::Record) refuse(sw::kIncompatibleFile);
    if (apdu.p1 > file.recordCount()) refuse(sw::kRecordNotFound);
    return {&file, static_cast<std::size_t>(apdu.p1 - 1) * file.recordLength};
}

Reply readRecord(CommandContext& context, const Apdu& apdu) {
    if (!apdu.data.empty()) refuse(sw::kWrongLength);
    auto [file, offset] = recordTarget(context, apdu);
    context.requireAccess(file->read);
    const std::size_t wanted = apdu.le.value_or(256);
    if (wanted > file->recordLength) refuse(sw::wrongLe(file->recordLength));
    const auto begin = file->body.begin() + static_cast<std::ptrdiff_t>(offset);
    return Reply{Bytes(begin, begin + static_cast<std::ptrdiff_t>(wanted))};
}

Reply updateRecord(CommandContext& context, const Apdu& apdu) {
    if (apdu.le) refuse(sw::kWrongLength);
    auto [file, offset] = recordTarget(context, apdu);
    if (apdu.data.size() != file->recordLength) refuse(sw::kWrongLength);
    context.requireAccess(file->update);
    std::copy(apdu.data.begin(), apdu.data.end(),
              file->body.begin() + static_cast<std::ptrdiff_t>(offset));
    context.markChanged();
    return {};
}

Access createdAccess(std::uint8_t byte) {
    // The host writes 00 (free) or 11 (user PIN); anything else is treated as protected.
    return byte == 0x00 ? Access::Free : Access::User;
}

Reply createFile(CommandContext& context, const Apdu& apdu) {
    if (apdu.p1 != 0x00 || apdu.p2 != 0x03) refuse(sw::kWrongP1P2);
    if (apdu.data.size() != kCreateControlLength || apdu.le) refuse(sw::kWrongLength);
    context.requireAccess(Access::User);
    const std::uint16_t fid = readU16(apdu.data, 0);
    const std::size_t size = readU16(apdu.data, 2);
    if (fid == kMasterFileId || fid == 0xFFFF) refuse(sw::kWrongData);
    const std::size_t df = context.session().currentDf;
    if (context.files().child(df, fid)) refuse(sw::kFileExists);
    const std::size_t used = context.files().createdBytes();
    const std::size_t capacity = context.state().identity.capacity;
    const std::size_t free = capacity > used ? capacity - used : 0;
    if (size > free) refuse(sw::kNotEnoughMemory);
    const std::size_t index = context.files().addTransparent(
        df, fid, size, createdAccess(apdu.data[8]), createdAccess(apdu.data[10]));
    context.files().node(index).created = true;
    context.markChanged();
    return {};
}

}  // namespace

void addFileCommands(CommandTable& table) {
    // Hosts append Le or stray bytes to SELECT; real tokens ignore them.
    table.add(0x00, 0xA4, select, CommandSpec{.toleratesTrailing = true});
    table.add(0x00, 0xB0, readBinary);
    table.add(0x00, 0xD6, updateBinary);
    table.add(0x00, 0xB2, readRecord);
    table.add(0x00, 0xDC, updateRecord);
    table.add(0x80, 0xE0, createFile);
}

}  // namespace vtoken

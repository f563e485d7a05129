#include "vtoken/apdu.h"

#include <algorithm>

#include "vtoken/status_word.h"

namespace vtoken {

namespace {

std::size_t shortLe(std::uint8_t byte) {
    return byte == 0 ? 256 : byte;
}

void parseIso(ByteView body, Apdu& apdu) {
    // body = everything after P2
    const std::size_t n = body.size();
    if (n == 0) return;  // case 1
    if (n == 1) {        // case 2 short
        apdu.le = shortLe(body[0]);
        return;
    }
    if (body[0] != 0) {  // short Lc
        const std::size_t lc = body[0];
        if (n < 1 + lc) refuse(sw::kWrongLength);
        apdu.data.assign(body.begin() + 1, body.begin() + 1 + static_cast<std::ptrdiff_t>(lc));
        apdu.dataOffset = 5;
        const std::size_t rest = n - 1 - lc;
        if (rest >= 1) {
            apdu.le = shortLe(body[1 + lc]);
            apdu.trailing = rest - 1;
        }
        return;
    }
    // Extended: 00 hi lo [data] [Le hi lo]
    if (n < 3) refuse(sw::kWrongLength);
    const std::size_t length = readU16(body, 1);
    if (n == 3) {  // extended case 2
        apdu.le = length == 0 ? 65536 : length;
        return;
    }
    if (length == 0 || n < 3 + length) refuse(sw::kWrongLength);
    apdu.data.assign(body.begin() + 3, body.begin() + 3 + static_cast<std::ptrdiff_t>(length));
    apdu.dataOffset = 7;
    const std::size_t rest = n - 3 - length;
    if (rest == 0) return;
    if (rest != 2) refuse(sw::kWrongLength);
    const std::size_t le = readU16(body, 3 + length);
    apdu.le = le == 0 ? 65536 : le;
}

void parseWide(ByteView body, Apdu& apdu) {
    const std::size_t n = body.size();
    if (n >= 2 && n == 2 + static_cast<std::size_t>(readU16(body, 0))) {
        apdu.data.assign(body.begin() + 2, body.end());
        apdu.dataOffset = 6;
        return;
    }
    if (n >= 4 && body[0] == 0 && body[1] == 0 &&
        n == 4 + static_cast<std::size_t>(readU16(body, 2))) {
        apdu.data.assign(body.begin() + 4, body.end());
        apdu.dataOffset = 8;
        return;
    }
    refuse(sw::kWrongLength);
}

void parseFixedExtended(ByteView body, Apdu& apdu) {
    const std::uint8_t kMarker[] = {0x00, 0x01, 0x00};
    if (body.size() > 3 && std::equal(std::begin(kMarker), std::end(kMarker), body.begin())) {
        apdu.data.assign(body.begin() + 3, body.end());
        apdu.dataOffset = 7;
        return;
    }
    parseIso(body, apdu);
    if (apdu.le) refuse(sw::kWrongLength);  // these commands never ask for a length
}

void parseNoData(ByteView body) {
    const bool zeros = std::all_of(body.begin(), body.end(), [](std::uint8_t b) { return b == 0; });
    if (body.size() > 2 || !zeros) refuse(sw::kWrongLength);
}

}  // namespace

Apdu parseApdu(ByteView raw, LengthForm form) {
    if (raw.size() < 4) refuse(sw::kWrongLength);
    Apdu apdu;
    apdu.cla = raw[0];
    apdu.ins = raw[1];
    apdu.p1 = raw[2];
    apdu.p2 = raw[3];
    const ByteView body = raw.subspan(4);
    switch (form) {
        case LengthForm::Iso:
            parseIso(body, apdu);
            break;
        case LengthForm::Wide:
            parseWide(body, apdu);
            break;
        case LengthForm::FixedExtended:
            parseFixedExtended(body, apdu);
            break;
        case LengthForm::NoData:
            parseNoData(body);
            break;
    }
    return apdu;
}

}  // namespace vtoken

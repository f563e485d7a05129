// Every exported function against a token that answers at random: wrong lengths, odd status
// words, replies longer or shorter than asked, a device that vanishes. Nothing may crash,
// read or write outside a buffer of the documented size (the sanitizers watch), or give a
// result that function cannot give: a code of the library's one list that the function uses,
// or, for the functions that pass them on, a status word.
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "replay_transport.h"
#include "tokenapi.h"

namespace {

class Hostile {
  public:
    explicit Hostile(uint32_t seed) : rng_(seed) {}

    replay::Reply reply() {
        static const int32_t kResults[] = {0x9000, 0x9000, 0x9000, 0x9000, 0x9000, 0x6B00, 0x6C00,
                                           0x6C05, 0x6C80, 0x6100, 0x6110, 0x6180, 0x6982, 0x6983,
                                           0x63C2, 0x6A82, 0x6D00, 0x6A84, -1,     0x10001};
        static const size_t kLengths[] = {0,  1,  2,   3,   4,   8,   10,  11,  15,  16,
                                          27, 28, 127, 128, 129, 200, 255, 256, 257, 2050};
        const int32_t result = kResults[pick(std::size(kResults))];
        std::vector<uint8_t> data(kLengths[pick(std::size(kLengths))]);
        for (auto& b : data) b = static_cast<uint8_t>(rng_());
        // Often make a record look in use, or a length field small, so that parsers go on.
        if (!data.empty() && pick(2) == 0) data[0] = static_cast<uint8_t>(pick(3));
        return {result, std::move(data)};
    }

    void script(size_t n) {
        auto& s = replay::script();
        s.replies.clear();
        for (size_t i = 0; i < n; ++i) s.replies.push_back(reply());
    }

    size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
    std::string name() {
        std::string n(1 + pick(20), 'a');
        for (auto& c : n) c = static_cast<char>('a' + pick(26));
        return n;
    }

  private:
    std::mt19937 rng_;
};

// Every code of the library's one list.
const std::set<int32_t>& libraryCodes() {
#define XR_LIST_CODE(name, value, meaning) name,
    static const std::set<int32_t> codes = {XR_RESULT_CODES(XR_LIST_CODE)};
#undef XR_LIST_CODE
    return codes;
}

// What one function can give.
struct Results {
    std::set<int32_t> codes;
    bool statusWords = true;      // the token's refusals, passed on unchanged
    bool securityStates = false;  // a security state above 2, reported as the result

    Results& plus(std::initializer_list<int32_t> more) {
        codes.insert(more);
        return *this;
    }
    bool allows(int32_t r) const {
        if (codes.count(r) != 0) return true;
        if (statusWords && r >= 0x6000 && r <= 0x6FFF) return true;
        if (statusWords && r >= 0x9000 && r <= 0x9FFF) return true;
        return securityStates && r > 2 && r <= 0xFF;
    }
};

// The codes of the device-operation pattern: success, no exchange, device lost, bad handle,
// lock not free.
Results deviceOp(std::initializer_list<int32_t> more = {}) {
    Results r{{XR_OK, XR_TRANSPORT, XR_DEVICE_LOST, XR_BAD_HANDLE, XR_LOCK_TIMEOUT}};
    return r.plus(more);
}

DeviceHandle* connectQuietly() {
    replay::script().replies.clear();  // post-connect selection and state query fail quietly
    uint32_t count = 0;
    X_EnumDEV(0, &count);
    DeviceHandle* device = nullptr;
    return X_ConnectDEV(&device, 0) == 0 ? device : nullptr;
}

void verifyForReal(DeviceHandle* device) {
    auto& s = replay::script();
    s.replies.clear();
    for (int i = 0; i < 2; ++i) s.replies.push_back({0x9000});     // SELECTs
    s.replies.push_back({0x9000, std::vector<uint8_t>(8, 0x11)});  // challenge
    s.replies.push_back({0x9000});                                 // authenticate
    const uint8_t pin[] = {'1', '2', '3', '4'};
    ASSERT_EQ(X_VerifyPIN(device, XPIN_USER, pin, sizeof pin, nullptr), 0);
}

TEST(HostileReplies, NoFunctionCrashesOrLeavesTheResultSet) {
    replay::script() = {};
    Hostile h(20261209);
    ContainerHandle* container = nullptr;
    CipherSession* cipher = nullptr;
    static const uint32_t kCipherIds[] = {XCIPHER_BLOCK8, XCIPHER_BLOCK16, XCIPHER_SSF33,
                                          XCIPHER_SM1};
    const std::vector<uint8_t> key(16, 0x4B);
    const std::vector<uint8_t> iv(16, 0x49);
    // A length around the chunk sizes, often a whole number of blocks.
    auto cipherLength = [&] {
        static const uint32_t kLengths[] = {0, 5, 8, 16, 20, 240, 256, 1000, 4096, 9000};
        return kLengths[h.pick(std::size(kLengths))];
    };

    struct Op {
        const char* name;
        Results results;
        std::function<int32_t(DeviceHandle*)> call;
    };
    const Results pinChange = deviceOp(
        {XR_PIN_INCORRECT, XR_PIN_TOO_LONG, XR_PIN_BLOCKED, XR_NOT_VERIFIED, XR_BAD_PARAMETER});
    const Results certificateImport = deviceOp(
        {XR_BAD_CONTAINER, XR_CERT_TOO_LONG, XR_NOT_VERIFIED, XR_UNSUPPORTED, XR_BAD_PARAMETER});
    const Results certificateExport =
        deviceOp({XR_NOT_FOUND, XR_BAD_CONTAINER, XR_UNSUPPORTED, XR_BAD_PARAMETER});
    const Results cipherCall = deviceOp({XR_BAD_ALGORITHM, XR_BAD_KEY_LENGTH, XR_BAD_DATA_LENGTH,
                                         XR_BAD_PADDING, XR_KEY_UNAVAILABLE, XR_BAD_PARAMETER});
    const std::vector<Op> ops = {
        {"GetDEVInfo",
         [] {
             Results r = deviceOp({XR_UNSUPPORTED, XR_BAD_PARAMETER});
             r.securityStates = true;
             return r;
         }(),
         [&](DeviceHandle* d) {
             static const uint32_t kTypes[] = {0, 2, 3, 7, 8, 9};
             static const size_t kSizes[] = {7, 1, 1, 21, 1, 1};
             const size_t i = h.pick(6);
             std::vector<uint8_t> buffer(kSizes[i]);
             uint32_t length = 0;
             return X_GetDEVInfo(d, kTypes[i], buffer.data(), &length);
         }},
        {"GetDEVLabel", deviceOp({XR_BAD_PARAMETER}),
         [&](DeviceHandle* d) {
             std::vector<uint8_t> label(65);
             uint32_t length = 0;
             return X_GetDEVLabel(d, label.data(), &length);
         }},
        {"SetDEVLabel", deviceOp({XR_BAD_PARAMETER}),
         [&](DeviceHandle* d) {
             const std::string label = h.name();
             return X_SetDEVLabel(d, reinterpret_cast<const uint8_t*>(label.data()),
                                  static_cast<uint32_t>(label.size()));
         }},
        // The raw exchange reports what the token said through its status output.
        {"TransmitCmd", Results{{XR_OK, XR_BAD_HANDLE, XR_LOCK_TIMEOUT, XR_BAD_PARAMETER}, false},
         [&](DeviceHandle* d) {
             const uint8_t apdu[] = {0x00, 0x84, 0x00, 0x00, 0x08};
             std::vector<uint8_t> reply(h.pick(300));
             uint32_t length = static_cast<uint32_t>(reply.size());
             int32_t status = 0;
             return X_TransmitCmd(d, apdu, sizeof apdu, reply.data(), &length, &status);
         }},
        {"ClearDevice", deviceOp(), [&](DeviceHandle* d) { return X_ClearDevice(d); }},
        {"GenRandom", deviceOp(),
         [&](DeviceHandle* d) {
             std::vector<uint8_t> buffer(1 + h.pick(40));
             return X_GenRandom(d, buffer.data(), static_cast<uint32_t>(buffer.size()));
         }},
        {"VerifyPIN",
         deviceOp({XR_PIN_INCORRECT, XR_PIN_TOO_LONG, XR_PIN_BLOCKED, XR_BAD_PARAMETER}),
         [&](DeviceHandle* d) {
             const uint8_t pin[] = {'1', '2', '3', '4'};
             uint32_t tries = 0;
             return X_VerifyPIN(d, static_cast<uint32_t>(h.pick(3)), pin, sizeof pin, &tries);
         }},
        {"ChangePIN", pinChange,
         [&](DeviceHandle* d) {
             const uint8_t pin[] = {'1', '2', '3', '4'};
             uint32_t tries = 0;
             return X_ChangePIN(d, static_cast<uint32_t>(h.pick(2)), pin, 4, pin, 4, &tries);
         }},
        {"UnblockPIN", pinChange,
         [&](DeviceHandle* d) {
             const uint8_t pin[] = {'1', '2', '3', '4'};
             uint32_t tries = 0;
             return X_UnblockPIN(d, h.pick(2) ? pin : nullptr, 4, pin, 4, &tries);
         }},
        {"CreateFile", deviceOp({XR_NO_ROOM, XR_FILE_EXISTS, XR_NOT_VERIFIED, XR_BAD_PARAMETER}),
         [&](DeviceHandle* d) {
             return X_CreateFile(d, h.name().c_str(), static_cast<uint32_t>(h.pick(600)), 0x0101);
         }},
        {"ReadFile", deviceOp({XR_NOT_FOUND, XR_NOT_VERIFIED, XR_BAD_PARAMETER}),
         [&](DeviceHandle* d) {
             const uint32_t length = static_cast<uint32_t>(h.pick(600));
             std::vector<uint8_t> buffer(length == 0 ? 0x7FFF : length);
             uint32_t read = 0;
             return X_ReadFile(d, h.name().c_str(), static_cast<uint32_t>(h.pick(300)), length,
                               buffer.data(), &read);
         }},
        {"WriteFile", deviceOp({XR_NOT_FOUND, XR_NOT_VERIFIED, XR_BAD_PARAMETER}),
         [&](DeviceHandle* d) {
             std::vector<uint8_t> data(1 + h.pick(400), 0x5A);
             uint32_t written = 0;
             return X_WriteFile(d, h.name().c_str(), static_cast<uint32_t>(h.pick(300)),
                                data.data(), static_cast<uint32_t>(data.size()), &written);
         }},
        {"DeleteFile", deviceOp({XR_NOT_FOUND, XR_BAD_PARAMETER}),
         [&](DeviceHandle* d) {
             const std::string n = h.name();
             return X_DeleteFile(d, n.c_str(), static_cast<uint32_t>(n.size()));
         }},
        {"EnumFiles", deviceOp({XR_BAD_PARAMETER}),
         [&](DeviceHandle* d) {
             std::vector<char> buffer(20 * 21);
             uint32_t length = 0;
             return X_EnumFiles(d, h.pick(2) ? buffer.data() : nullptr, &length);
         }},
        {"EnumFilesEx", deviceOp({XR_BAD_PARAMETER}),
         [&](DeviceHandle* d) {
             std::vector<XFileEntry> entries(XFILE_MAX_ENTRIES);
             uint32_t count = 0;
             return X_EnumFilesEx(d, entries.data(), &count);
         }},
        {"EnumContainer", deviceOp({XR_BAD_PARAMETER}),
         [&](DeviceHandle* d) {
             std::vector<char> buffer(256);
             uint32_t length = 0;
             return X_EnumContainer(d, buffer.data(), &length);
         }},
        {"EnumNamedContainers", deviceOp({XR_BAD_PARAMETER}),
         [&](DeviceHandle* d) {
             std::vector<char> buffer(4 * 121);
             uint32_t length = 0;
             return X_EnumNamedContainers(d, buffer.data(), &length);
         }},
        {"OpenContainer", deviceOp({XR_NAME_LENGTH, XR_BAD_CONTAINER_NAME}),
         [&](DeviceHandle* d) {
             if (container) X_CloseContainer(d, container);
             container = nullptr;
             const std::string n = std::string("x") + (h.pick(2) ? '1' : '2');
             return X_OpenContainer(d, n.c_str(), &container);
         }},
        {"CreateContainer",
         deviceOp({XR_NAME_LENGTH, XR_NO_CONTAINER_SLOT, XR_CONTAINER_EXISTS, XR_NOT_VERIFIED}),
         [&](DeviceHandle* d) {
             if (container) X_CloseContainer(d, container);
             container = nullptr;
             return X_CreateContainer(d, h.name().c_str(), &container);
         }},
        {"OpenNamedContainer", deviceOp({XR_NOT_FOUND, XR_NAME_LENGTH, XR_BAD_CONTAINER}),
         [&](DeviceHandle* d) {
             if (container) X_CloseContainer(d, container);
             container = nullptr;
             return X_OpenNamedContainer(d, h.name().c_str(), &container);
         }},
        {"ImportUserCert", certificateImport,
         [&](DeviceHandle* d) -> int32_t {
             if (!container) return 0;
             std::vector<uint8_t> cert(1 + h.pick(2048), 0x30);
             return X_ImportUserCert(d, container, static_cast<uint32_t>(1 + h.pick(3)),
                                     cert.data(), static_cast<uint32_t>(cert.size()));
         }},
        {"ExportUserCert", certificateExport,
         [&](DeviceHandle* d) -> int32_t {
             if (!container) return 0;
             std::vector<uint8_t> buffer(2048);
             uint32_t length = 0;
             return X_ExportUserCert(d, container, static_cast<uint32_t>(1 + h.pick(3)),
                                     buffer.data(), &length);
         }},
        {"ImportRootCert", certificateImport,
         [&](DeviceHandle* d) -> int32_t {
             if (!container) return 0;
             std::vector<uint8_t> cert(1 + h.pick(2048), 0x30);
             return X_ImportRootCert(d, container, cert.data(), static_cast<uint32_t>(cert.size()));
         }},
        {"ExportRootCert", certificateExport,
         [&](DeviceHandle* d) -> int32_t {
             if (!container) return 0;
             std::vector<uint8_t> buffer(2048);
             uint32_t length = 0;
             return X_ExportRootCert(d, container, buffer.data(), &length);
         }},
        {"DeletetUserCert", deviceOp({XR_BAD_CONTAINER, XR_NOT_VERIFIED}),
         [&](DeviceHandle* d) -> int32_t {
             if (!container) return 0;
             return X_DeletetUserCert(d, container, static_cast<uint32_t>(1 + h.pick(3)));
         }},
        {"DestroyContainer", deviceOp({XR_BAD_CONTAINER, XR_NOT_VERIFIED}),
         [&](DeviceHandle* d) -> int32_t {
             if (!container) return 0;
             const int32_t r = X_DestroyContainer(d, container);
             if (r == 0) container = nullptr;
             return r;
         }},
        {"Cipher one-shot", cipherCall,
         [&](DeviceHandle* d) -> int32_t {
             const uint32_t id = kCipherIds[h.pick(4)];
             const uint32_t keyLength = id == XCIPHER_BLOCK8 ? 8 : 16;
             const uint32_t length = cipherLength();
             std::vector<uint8_t> data(length, 0x33);
             std::vector<uint8_t> out(length + 16);
             uint32_t outLength = 0;
             switch (h.pick(6)) {
                 case 0:
                     return X_Encrypt(d, id, key.data(), keyLength, data.data(), length, out.data(),
                                      &outLength);
                 case 1:
                     return X_Decrypt(d, id, key.data(), keyLength, data.data(), length, out.data(),
                                      &outLength);
                 case 2:
                     return X_EncryptNoPad(d, id, key.data(), keyLength, data.data(), length,
                                           out.data(), &outLength);
                 case 3:
                     return X_DecryptNoPad(d, id, key.data(), keyLength, data.data(), length,
                                           out.data(), &outLength);
                 case 4:
                     return X_EncryptNoPad_CBC(d, id, key.data(), keyLength, iv.data(), data.data(),
                                               length, out.data(), &outLength);
                 default:
                     return X_DecryptNoPad_CBC(d, id, key.data(), keyLength, iv.data(), data.data(),
                                               length, out.data(), &outLength);
             }
         }},
        {"Cipher session", cipherCall,
         [&](DeviceHandle* d) -> int32_t {
             if (!cipher) {
                 const uint32_t id = kCipherIds[h.pick(4)];
                 return X_EncryptInit(d, &cipher, id, key.data(), id == XCIPHER_BLOCK8 ? 8 : 16);
             }
             const uint32_t length = cipherLength();
             std::vector<uint8_t> data(length, 0x33);
             std::vector<uint8_t> out(length + 32);
             uint32_t outLength = 0;
             int32_t r = 0;
             switch (h.pick(4)) {
                 case 0:
                     return X_EncryptUpdate(d, cipher, data.data(), length, out.data(), &outLength);
                 case 1:
                     return X_DecryptUpdate(d, cipher, data.data(), length, out.data(), &outLength);
                 case 2:
                     r = X_EncryptFinal(d, cipher, out.data(), &outLength);
                     break;
                 default:
                     r = X_DecryptFinal(d, cipher, out.data(), &outLength);
                     break;
             }
             // Whether Final let the session go or kept it, a second Final either finishes
             // it or gets the released session refused: it never dereferences a freed record.
             if (r != 0) X_DecryptFinal(d, cipher, out.data(), &outLength);
             cipher = nullptr;
             return r;
         }},
    };
    // Every function's set is drawn from the one list.
    for (const Op& op : ops) {
        for (int32_t code : op.results.codes) {
            EXPECT_EQ(libraryCodes().count(code), 1u) << op.name << " " << std::hex << code;
        }
    }

    for (int round = 0; round < 1500; ++round) {
        DeviceHandle* device = connectQuietly();
        ASSERT_NE(device, nullptr);
        verifyForReal(device);
        for (int step = 0; step < 4; ++step) {
            const Op& op = ops[h.pick(ops.size())];
            h.script(64);
            const int32_t r = op.call(device);
            ASSERT_TRUE(op.results.allows(r)) << op.name << " gave " << std::hex << r;
        }
        if (container) X_CloseContainer(device, container);
        container = nullptr;
        // The disconnect releases a session left open.
        cipher = nullptr;
        X_DisConnectDEV(device);
    }
}

}  // namespace

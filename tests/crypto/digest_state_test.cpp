// The life of a streaming state as a digest session uses it: final leaves nothing of the
// message behind, init starts over, and copies and moves carry the running state along.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <type_traits>

#include "crypto/md2.h"
#include "crypto/md5.h"
#include "crypto/sha1.h"
#include "hex_bytes.h"

namespace crypto_test {
namespace {

using tokenapi::crypto::Md2State;
using tokenapi::crypto::Md5State;
using tokenapi::crypto::Sha1State;

template <class State>
std::string hexOf(State& s) {
    const auto v = s.final();
    return toHex(v);
}

template <class State>
std::string oneShot(std::string_view text) {
    State s;
    s.update(asBytes(text));
    return hexOf(s);
}

// A message longer than a block, so that chaining values and not only the buffer hold data.
const std::string kFirst = "The quick brown fox jumps over the lazy dog, twice over: the quick";
const std::string kSecond = " brown fox jumps over the lazy dog";

template <class State>
class DigestState : public testing::Test {};

using States = testing::Types<Md5State, Sha1State, Md2State>;
// Short names for the suite's cases: the full template names are unreadable in a test list.
struct StateNames {
    template <class State>
    static std::string GetName(int) {
        if (std::is_same_v<State, Md5State>) return "MD5";
        if (std::is_same_v<State, Sha1State>) return "SHA1";
        return "MD2";
    }
};
TYPED_TEST_SUITE(DigestState, States, StateNames);

TYPED_TEST(DigestState, FinalLeavesTheStateAsNew) {
    TypeParam s;
    s.update(asBytes(kFirst));
    const std::string first = hexOf(s);
    EXPECT_EQ(first, oneShot<TypeParam>(kFirst));

    // Nothing of the first message may leak into the next one.
    s.update(asBytes("abc"));
    EXPECT_EQ(hexOf(s), oneShot<TypeParam>("abc"));
    EXPECT_EQ(hexOf(s), oneShot<TypeParam>(""));
}

TYPED_TEST(DigestState, InitDropsWhatWasHashed) {
    TypeParam s;
    s.update(asBytes(kFirst));
    s.init();
    s.update(asBytes(kSecond));
    EXPECT_EQ(hexOf(s), oneShot<TypeParam>(kSecond));
}

TYPED_TEST(DigestState, EmptyUpdatesChangeNothing) {
    TypeParam s;
    s.update({});
    s.update(asBytes(kFirst));
    s.update({});
    EXPECT_EQ(hexOf(s), oneShot<TypeParam>(kFirst));
}

TYPED_TEST(DigestState, CopyRunsOnIndependently) {
    TypeParam original;
    original.update(asBytes(kFirst));
    TypeParam copy = original;
    original.update(asBytes("!"));
    copy.update(asBytes(kSecond));
    EXPECT_EQ(hexOf(copy), oneShot<TypeParam>(kFirst + kSecond));
    EXPECT_EQ(hexOf(original), oneShot<TypeParam>(kFirst + "!"));

    TypeParam assigned;
    assigned.update(asBytes("to be replaced"));
    original.update(asBytes(kFirst));
    assigned = original;
    assigned.update(asBytes(kSecond));
    EXPECT_EQ(hexOf(assigned), oneShot<TypeParam>(kFirst + kSecond));
}

TYPED_TEST(DigestState, MoveCarriesTheRunningState) {
    TypeParam source;
    source.update(asBytes(kFirst));
    TypeParam moved = std::move(source);
    moved.update(asBytes(kSecond));
    EXPECT_EQ(hexOf(moved), oneShot<TypeParam>(kFirst + kSecond));

    TypeParam target;
    target.update(asBytes("to be replaced"));
    TypeParam another;
    another.update(asBytes(kFirst));
    target = std::move(another);
    target.update(asBytes(kSecond));
    EXPECT_EQ(hexOf(target), oneShot<TypeParam>(kFirst + kSecond));
}

bool allZero(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// MD2's state is ours, so the wipe can be seen field by field.
TEST(Md2StateFields, FinalWipesEveryField) {
    Md2State s;
    s.update(asBytes("twenty bytes of text"));  // one block processed, four bytes buffered
    ASSERT_EQ(s.count(), 4u);
    ASSERT_FALSE(allZero(s.state()));
    ASSERT_FALSE(allZero(s.checksum()));
    ASSERT_FALSE(allZero(s.buffer()));

    (void)s.final();
    EXPECT_TRUE(allZero(s.state()));
    EXPECT_TRUE(allZero(s.checksum()));
    EXPECT_TRUE(allZero(s.buffer()));
    EXPECT_EQ(s.count(), 0u);
}

}  // namespace
}  // namespace crypto_test

// The life of a streaming state as a digest session uses it: final leaves nothing of the
// message behind, init starts over, and copies and moves carry the running state along.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

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

// Each check is written once for any state type and run for each one below.

template <class State>
void finalLeavesTheStateAsNew() {
    State s;
    s.update(asBytes(kFirst));
    const std::string first = hexOf(s);
    EXPECT_EQ(first, oneShot<State>(kFirst));

    // Nothing of the first message may leak into the next one.
    s.update(asBytes("abc"));
    EXPECT_EQ(hexOf(s), oneShot<State>("abc"));
    EXPECT_EQ(hexOf(s), oneShot<State>(""));
}

template <class State>
void initDropsWhatWasHashed() {
    State s;
    s.update(asBytes(kFirst));
    s.init();
    s.update(asBytes(kSecond));
    EXPECT_EQ(hexOf(s), oneShot<State>(kSecond));
}

template <class State>
void emptyUpdatesChangeNothing() {
    State s;
    s.update({});
    s.update(asBytes(kFirst));
    s.update({});
    EXPECT_EQ(hexOf(s), oneShot<State>(kFirst));
}

template <class State>
void copyRunsOnIndependently() {
    State original;
    original.update(asBytes(kFirst));
    State copy = original;
    original.update(asBytes("!"));
    copy.update(asBytes(kSecond));
    EXPECT_EQ(hexOf(copy), oneShot<State>(kFirst + kSecond));
    EXPECT_EQ(hexOf(original), oneShot<State>(kFirst + "!"));

    State assigned;
    assigned.update(asBytes("to be replaced"));
    original.update(asBytes(kFirst));
    assigned = original;
    assigned.update(asBytes(kSecond));
    EXPECT_EQ(hexOf(assigned), oneShot<State>(kFirst + kSecond));
}

template <class State>
void moveCarriesTheRunningState() {
    State source;
    source.update(asBytes(kFirst));
    State moved = std::move(source);
    moved.update(asBytes(kSecond));
    EXPECT_EQ(hexOf(moved), oneShot<State>(kFirst + kSecond));

    State target;
    target.update(asBytes("to be replaced"));
    State another;
    another.update(asBytes(kFirst));
    target = std::move(another);
    target.update(asBytes(kSecond));
    EXPECT_EQ(hexOf(target), oneShot<State>(kFirst + kSecond));
}

// One suite per state type, named after its algorithm. (A typed suite would do the same, but
// CTest lists typed cases under a dump of the type's template arguments.)
#define DIGEST_STATE_SUITE(Suite, State)      \
    TEST(Suite, FinalLeavesTheStateAsNew) {   \
        finalLeavesTheStateAsNew<State>();    \
    }                                         \
    TEST(Suite, InitDropsWhatWasHashed) {     \
        initDropsWhatWasHashed<State>();      \
    }                                         \
    TEST(Suite, EmptyUpdatesChangeNothing) {  \
        emptyUpdatesChangeNothing<State>();   \
    }                                         \
    TEST(Suite, CopyRunsOnIndependently) {    \
        copyRunsOnIndependently<State>();     \
    }                                         \
    TEST(Suite, MoveCarriesTheRunningState) { \
        moveCarriesTheRunningState<State>();  \
    }

DIGEST_STATE_SUITE(Md5DigestState, Md5State)
DIGEST_STATE_SUITE(Sha1DigestState, Sha1State)
DIGEST_STATE_SUITE(Md2DigestState, Md2State)

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

#include <gtest/gtest.h>

#include "environment.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    testbed::BedLayout layout;
    layout.readerEntries = {"Tarvex USB KEY 1"};
    // The wire tests compare PIN records, cryptograms and challenges with what the key API
    // computed, so the token's trace shows them (reprovision() can switch that off).
    testbed::TokenSpec token;
    token.showSecrets = true;
    layout.tokens = {token};
    testbed::useSharedBed(layout);
    return RUN_ALL_TESTS();
}

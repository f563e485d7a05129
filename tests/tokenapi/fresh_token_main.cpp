#include <gtest/gtest.h>

#include "environment.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    testbed::BedLayout layout;
    layout.readerEntries = {"Tarvex USB KEY 1"};
    layout.tokens = {testbed::TokenSpec{}};
    testbed::useSharedBed(layout);
    return RUN_ALL_TESTS();
}

#include <gtest/gtest.h>

#include "bed_layout.h"
#include "environment.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    testbed::useSharedBed(pcsclinkTestLayout());
    return RUN_ALL_TESTS();
}

// GoogleTest glue: one bed per test binary, started by the first test that asks for it and
// stopped when the run ends (also on the way out of a failing run).
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "bed.h"

namespace testbed {

class BedEnvironment : public ::testing::Environment {
  public:
    explicit BedEnvironment(BedLayout layout) : layout_(std::move(layout)) {}
    void TearDown() override { bed_.reset(); }
    // Starts the bed on first use; throws when it does not come up.
    Bed& bed();

  private:
    BedLayout layout_;
    std::unique_ptr<Bed> bed_;
};

// Registers the environment with GoogleTest (call from main before RUN_ALL_TESTS).
void useSharedBed(BedLayout layout);
// The registered environment's bed, started on first use. Throws when it cannot come up:
// a test that needs it fails with the reason.
Bed& sharedBed();

}  // namespace testbed

#include "environment.h"

#include <stdexcept>

namespace testbed {
namespace {
BedEnvironment* g_environment = nullptr;
}

Bed& BedEnvironment::bed() {
    if (!bed_) bed_ = Bed::start(layout_);
    return *bed_;
}

void useSharedBed(BedLayout layout) {
    // GoogleTest owns and deletes registered environments.
    g_environment = static_cast<BedEnvironment*>(
        ::testing::AddGlobalTestEnvironment(new BedEnvironment(std::move(layout))));
}

Bed& sharedBed() {
    if (g_environment == nullptr) throw std::logic_error("useSharedBed() was not called");
    return g_environment->bed();
}

}  // namespace testbed

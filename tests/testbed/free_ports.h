// Loopback ports for vpcd readers, chosen at run time so that parallel test beds do not meet.
#pragma once

#include <vector>

namespace testbed {

// `count` port bases P such that P and P + 1 are both free now (vpcd listens on both ends
// of a reader entry). Random, so that two beds starting at the same moment rarely pick the
// same; the bed retries with new ports when a reader fails to come up anyway.
std::vector<int> freePortPairs(int count);

}  // namespace testbed

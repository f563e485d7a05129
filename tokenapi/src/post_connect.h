#pragma once

#include "transports/transport.h"

namespace tokenapi {

// Leaves the token in the application directory that its directory file marks for selection.
// Runs right after a connect (before the key API lock exists) and after every label write;
// any failing step ends it silently.
void postConnectSelection(TransportHandle* transport);

}  // namespace tokenapi

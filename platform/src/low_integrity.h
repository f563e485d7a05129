// Windows only: the mandatory label that lets low-integrity processes (a sandboxed browser,
// say) open a kernel object that a normal or system process created.
#pragma once

#include <windows.h>

namespace platform::detail {

// Gives the object the label "S:(ML;;NW;;;LW)". Systems that refuse the label still get a
// working object, so a failure is ignored.
void applyLowIntegrityLabel(HANDLE object);

}  // namespace platform::detail

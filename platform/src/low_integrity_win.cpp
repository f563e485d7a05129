#include "low_integrity.h"

// clang-format off: aclapi.h and sddl.h need windows.h first
#include <aclapi.h>
#include <sddl.h>
// clang-format on

namespace platform::detail {

void applyLowIntegrityLabel(HANDLE object) {
    PSECURITY_DESCRIPTOR label = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"S:(ML;;NW;;;LW)", SDDL_REVISION_1,
                                                                &label, nullptr)) {
        return;
    }
    PACL sacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (::GetSecurityDescriptorSacl(label, &present, &sacl, &defaulted) && present) {
        ::SetSecurityInfo(object, SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr,
                          nullptr, sacl);
    }
    ::LocalFree(label);
}

}  // namespace platform::detail

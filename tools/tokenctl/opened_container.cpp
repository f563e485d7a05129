#include "opened_container.h"

namespace tokenctl {

OpenedContainer::OpenedContainer(DeviceHandle* device, const std::string& name) : device_(device) {
    result_ = X_OpenNamedContainer(device, name.c_str(), &handle_);
    if (result_ == XR_NOT_FOUND && !name.empty() && (name.back() == '1' || name.back() == '2')) {
        result_ = X_OpenContainer(device, name.c_str(), &handle_);
    }
    if (result_ != 0) handle_ = nullptr;
}

OpenedContainer::~OpenedContainer() {
    if (handle_ != nullptr) X_CloseContainer(device_, handle_);
}

}  // namespace tokenctl

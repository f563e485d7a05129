// The framers a front-end can be built with. A new protocol adds its class and one line here.
#include <functional>
#include <stdexcept>
#include <string>

#include "vtoken/driver_framer.h"
#include "vtoken/framer.h"
#include "vtoken/scsi_framer.h"
#include "vtoken/standin_framer.h"
#include "vtoken/vpcd_framer.h"

namespace vtoken {

namespace {

struct Known {
    std::string_view name;
    std::unique_ptr<Framer> (*make)();
};

const Known kFramers[] = {
    {"vpcd", [] { return std::unique_ptr<Framer>(std::make_unique<VpcdFramer>()); }},
    {"sdcard", [] { return std::unique_ptr<Framer>(std::make_unique<StandinFramer>()); }},
    {"scsi", [] { return std::unique_ptr<Framer>(std::make_unique<ScsiFramer>()); }},
    {"driver", [] { return std::unique_ptr<Framer>(std::make_unique<DriverFramer>()); }},
};

}  // namespace

std::unique_ptr<Framer> makeFramer(std::string_view name) {
    for (const Known& known : kFramers) {
        if (known.name == name) return known.make();
    }
    throw std::invalid_argument("unknown framer '" + std::string(name) +
                                "' (known: " + framerNames() + ")");
}

std::string framerNames() {
    std::string names;
    for (const Known& known : kFramers) {
        if (!names.empty()) names += ", ";
        names += known.name;
    }
    return names;
}

}  // namespace vtoken

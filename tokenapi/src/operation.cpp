#include "operation.h"

#include "commands.h"

namespace tokenapi {

int32_t Session::select(uint16_t fileId) {
    return send(cmd::select(fileId)).result;
}

}  // namespace tokenapi

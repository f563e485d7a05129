// The transport's process-wide view of the machine's readers: one PC/SC context for the life
// of the process and the table of token readers that held a card at the last enumeration.
// Not locked: callers enumerate and connect from one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pcsc_adapter.h"

namespace pcsclink {

struct ReaderEntry {
    std::string name;
    std::vector<std::uint8_t> atr;
};

class ReaderRegistry {
  public:
    static ReaderRegistry& instance();

    // Rebuilds the table; returns 0 and the number of entries, or the failing call's code
    // (14 when the reader-name list cannot be allocated) with the previous table kept. A
    // context that died with the PC/SC service is replaced, once per call.
    std::int32_t enumerate(std::int32_t& count);

    // The entry at a position of the last successful enumeration, or null.
    const ReaderEntry* entry(std::int32_t index) const;

    // Valid once an enumeration has established it.
    pcsc::Context context() const { return context_.value_or(pcsc::Context{}); }

  private:
    ReaderRegistry() = default;
    std::int32_t enumerateWithContext(std::int32_t& count);
    // True for the results that say the context died with the service behind it.
    bool contextGone(std::int32_t result) const;

    std::optional<pcsc::Context> context_;
    std::vector<ReaderEntry> table_;
};

}  // namespace pcsclink

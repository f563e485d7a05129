#include "reader_registry.h"

#include <algorithm>
#include <new>
#include <string_view>

#include "pcsc_result.h"

namespace pcsclink {
namespace {

// Only readers whose name starts with this (case-sensitively) are tokens of ours.
constexpr std::string_view kTokenReaderPrefix = "Tarvex USB KEY";
// How many names of the platform's list are looked at, whether they match or not.
constexpr std::size_t kNamesConsidered = 10;
constexpr pcsc::Dword kCardPresent = 0x20;  // SCARD_STATE_PRESENT
constexpr std::int32_t kOutOfMemory = 14;   // ERROR_OUTOFMEMORY

// The list is a sequence of NUL-terminated names ended by an empty one; never look past
// `length` even if the platform forgot the final terminator.
std::vector<const char*> firstNames(const std::vector<char>& list, std::size_t limit) {
    std::vector<const char*> names;
    std::size_t at = 0;
    while (names.size() < limit && at < list.size() && list[at] != '\0') {
        const char* name = &list[at];
        while (at < list.size() && list[at] != '\0') ++at;
        if (at == list.size()) break;  // unterminated tail: not a name
        names.push_back(name);
        ++at;
    }
    return names;
}

}  // namespace

ReaderRegistry& ReaderRegistry::instance() {
    // Never destroyed: handles in use may outlive static destruction at process exit.
    static ReaderRegistry* registry = new ReaderRegistry();
    return *registry;
}

std::int32_t ReaderRegistry::enumerate(std::int32_t& count) {
    std::int32_t result = enumerateWithContext(count);
    if (contextGone(result)) {
        // The PC/SC service went away (on Windows it stops when the last reader is unplugged)
        // and took the context with it: a process that kept the old one would never see a
        // token again. Establish a new one and try once more.
        SCardReleaseContext(*context_);
        context_.reset();
        result = enumerateWithContext(count);
    }
    return result;
}

bool ReaderRegistry::contextGone(std::int32_t result) const {
    return context_ &&
           (result == toResult(SCARD_E_NO_SERVICE) || result == toResult(SCARD_E_SERVICE_STOPPED) ||
            result == toResult(SCARD_E_INVALID_HANDLE));
}

std::int32_t ReaderRegistry::enumerateWithContext(std::int32_t& count) {
    if (!context_) {
        pcsc::Context context{};
        const pcsc::Long rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
        if (rv != SCARD_S_SUCCESS) return toResult(rv);
        context_ = context;
    }

    pcsc::Dword length = 0;
    pcsc::Long rv = pcsc::listReaders(*context_, nullptr, &length);
    if (rv != SCARD_S_SUCCESS) return toResult(rv);
    std::vector<char> list;
    try {
        list.resize(length);
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    }
    rv = pcsc::listReaders(*context_, list.data(), &length);
    if (rv != SCARD_S_SUCCESS) return toResult(rv);
    list.resize(length);

    std::vector<pcsc::ReaderState> scratch;
    for (const char* name : firstNames(list, kNamesConsidered)) {
        if (!std::string_view(name).starts_with(kTokenReaderPrefix)) continue;
        pcsc::ReaderState state{};
        state.szReader = name;
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        scratch.push_back(state);
    }
    // With every current state unaware the query answers at once, so no limit is needed.
    rv = pcsc::getStatusChange(*context_, INFINITE, scratch.data(),
                               static_cast<pcsc::Dword>(scratch.size()));
    if (rv != SCARD_S_SUCCESS) return toResult(rv);

    std::vector<ReaderEntry> table;
    for (const pcsc::ReaderState& state : scratch) {
        if ((state.dwEventState & kCardPresent) == 0) continue;
        const std::size_t atrLength = std::min<std::size_t>(state.cbAtr, sizeof state.rgbAtr);
        table.push_back({state.szReader, {state.rgbAtr, state.rgbAtr + atrLength}});
    }
    table_ = std::move(table);
    count = static_cast<std::int32_t>(table_.size());
    return 0;
}

const ReaderEntry* ReaderRegistry::entry(std::int32_t index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= table_.size()) return nullptr;
    return &table_[static_cast<std::size_t>(index)];
}

}  // namespace pcsclink

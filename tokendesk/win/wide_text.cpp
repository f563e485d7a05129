#include "wide_text.h"

#include <windows.h>

namespace tokendesk {

namespace {

std::wstring toWide(unsigned codePage, DWORD flags, std::string_view text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
    if (needed <= 0) return {};
    std::wstring out(static_cast<std::size_t>(needed), L'\0');
    MultiByteToWideChar(codePage, flags, text.data(), size, out.data(), needed);
    return out;
}

}  // namespace

std::wstring fromUtf8(std::string_view text) {
    return toWide(CP_UTF8, 0, text);
}

std::wstring fromCodePage936(std::string_view bytes) {
    return toWide(936, MB_PRECOMPOSED, bytes);
}

std::string toUtf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int needed =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string out(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), needed, nullptr, nullptr);
    return out;
}

}  // namespace tokendesk

// Text for the wide-character Windows interfaces: the tool's own texts are UTF-8, the token's
// byte strings code page 936.
#ifndef TOKENDESK_WIDE_TEXT_H
#define TOKENDESK_WIDE_TEXT_H

#include <string>
#include <string_view>

namespace tokendesk {

std::wstring fromUtf8(std::string_view text);
std::string toUtf8(std::wstring_view text);
std::wstring fromCodePage936(std::string_view bytes);

}  // namespace tokendesk

#endif

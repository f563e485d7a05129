// The Windows spelling of the PC/SC calls that the transport makes: the ANSI ("A") variants.
// The pcsc-lite twin of this header lives in ../pcsclite and CMake picks one of them.
#pragma once

#include <windows.h>
#include <winscard.h>

namespace pcsclink::pcsc {

using Dword = DWORD;
using Long = LONG;
using Context = SCARDCONTEXT;
using Card = SCARDHANDLE;
using ReaderState = SCARD_READERSTATEA;

inline Long listReaders(Context context, char* names, Dword* length) {
    return SCardListReadersA(context, nullptr, names, length);
}

inline Long getStatusChange(Context context, Dword timeout, ReaderState* states, Dword count) {
    return SCardGetStatusChangeA(context, timeout, states, count);
}

inline Long connect(Context context, const char* reader, Dword shareMode, Dword protocols,
                    Card* card, Dword* activeProtocol) {
    return SCardConnectA(context, reader, shareMode, protocols, card, activeProtocol);
}

}  // namespace pcsclink::pcsc

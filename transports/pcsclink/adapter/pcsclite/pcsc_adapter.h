// pcsc-lite's spelling of the PC/SC calls that the transport makes. pcsc-lite has no "A"
// variants and its DWORD is unsigned long; the Windows twin of this header lives in
// ../winscard and CMake picks one of them.
#pragma once

#include <winscard.h>

namespace pcsclink::pcsc {

using Dword = DWORD;
using Long = LONG;
using Context = SCARDCONTEXT;
using Card = SCARDHANDLE;
using ReaderState = SCARD_READERSTATE;

inline Long listReaders(Context context, char* names, Dword* length) {
    return SCardListReaders(context, nullptr, names, length);
}

inline Long getStatusChange(Context context, Dword timeout, ReaderState* states, Dword count) {
    return SCardGetStatusChange(context, timeout, states, count);
}

inline Long connect(Context context, const char* reader, Dword shareMode, Dword protocols,
                    Card* card, Dword* activeProtocol) {
    return SCardConnect(context, reader, shareMode, protocols, card, activeProtocol);
}

}  // namespace pcsclink::pcsc

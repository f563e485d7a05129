// The readers and tokens that the PC/SC transport is tested against, in pcscd's list order:
//
//  0 "Tarvex USB KEY 1 00 00"  token A     counted, device 0
//  1 "Tarvex USB KEY 1 00 01"  empty       a token reader without a card
//  2 "Other Reader 00 00"      token B     a card in a reader of another name
//  3 "Other Reader 00 01"      empty
//  4-7 "Tarvex USB KEY 3/4 ..." empty
//  8 "Tarvex USB KEY 5 00 00"  token C     counted, device 1
//  9 "Tarvex USB KEY 5 00 01"  empty       the tenth and last name looked at
// 10 "Tarvex USB KEY 6 00 00"  token D     a token reader with a card past the first ten names
// 11 "Tarvex USB KEY 6 00 01"  empty
#pragma once

#include "bed.h"

enum TokenIndex : std::size_t { kTokenA, kTokenB, kTokenC, kTokenD };

inline testbed::TokenSpec tokenIn(std::size_t readerEntry, const char* serial) {
    testbed::TokenSpec spec;
    spec.readerEntry = readerEntry;
    spec.serial = serial;
    return spec;
}

inline testbed::BedLayout pcsclinkTestLayout() {
    testbed::BedLayout layout;
    layout.readerEntries = {"Tarvex USB KEY 1", "Other Reader",     "Tarvex USB KEY 3",
                            "Tarvex USB KEY 4", "Tarvex USB KEY 5", "Tarvex USB KEY 6"};
    layout.tokens = {tokenIn(0, "a1a1a1a1a1a1a1a1a1a1"), tokenIn(1, "b2b2b2b2b2b2b2b2b2b2"),
                     tokenIn(4, "c3c3c3c3c3c3c3c3c3c3"), tokenIn(5, "d4d4d4d4d4d4d4d4d4d4")};
    // Token A's trace is compared with what the transport handed back, challenges included.
    layout.tokens[kTokenA].showSecrets = true;
    return layout;
}

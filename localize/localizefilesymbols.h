// The process-wide table of localization file names: each name gets a stable 16-bit
// symbol for the life of the process. Names are kept with backslashes for slashes and are
// compared without regard to ASCII case, as Windows compares file names. Any thread.
#pragma once

#include "foundation/basetypes.h"

constexpr uint16 k_unInvalidLocalizeFileSymbol = 0xFFFF;

class CLocalizeFileSymbols
{
public:
    // The symbol of the name, added when new; k_unInvalidLocalizeFileSymbol when the table
    // is full or the name is null.
    static uint16 AddName(const char *pchName);
    // The symbol of a known name, or k_unInvalidLocalizeFileSymbol.
    static uint16 FindName(const char *pchName);
    // The name of a symbol (valid for the life of the process), or null.
    static const char *GetName(uint16 unSymbol);
};

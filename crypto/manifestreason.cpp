#include "crypto/manifestreason.h"

namespace
{
// A reason quotes a name or value, not a whole 10,000-character one.
const size_t k_cchQuotedMax = 100;
} // namespace

std::string QuoteManifestText(const char *pch)
{
    std::string str;
    for (; *pch && str.size() < k_cchQuotedMax; ++pch)
        str += ((unsigned char)*pch < 0x20 || *pch == 0x7F) ? '?' : *pch;
    if (*pch)
        str += "...";
    return "'" + str + "'";
}

bool BFailManifestCheck(CUtlString *pstrReason, const std::string &strReason)
{
    if (pstrReason)
        *pstrReason = strReason.c_str();
    return false;
}

// KeyValues: typed getters with their conversions, and the setters.
#include "foundation/keyvalues.h"

#include "foundation/dbg.h"
#include "foundation/strtools.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
// Formatted numbers fit in this many bytes.
const int k_cchNumberText = 64;

// Sets the status of a string conversion; without a status pointer an incomplete one asserts.
void ReportStringConversion(bool bComplete, EKVConversionStatus *peStatus, const char *pchAssertion)
{
    if (peStatus)
        *peStatus = bComplete ? k_EKVConversionSuccess : k_EKVConversionNotNumeric;
    else if (!bComplete)
        AssertFailed(pchAssertion);
}

const char *const k_pchIntAssertion = "GetIntFromString() did not get correct peCS parameter";
const char *const k_pchUint64Assertion = "GetUint64FromString() did not get correct peCS parameter";

int ConvertStringToInt(const char *pch, int nDefault, EKVConversionStatus *peStatus)
{
    if (!*pch)
    {
        ReportStringConversion(false, peStatus, k_pchIntAssertion);
        return nDefault;
    }
    const char *pchEnd = pch;
    int nValue = Q_atoi(pch, &pchEnd);
    ReportStringConversion(*pchEnd == 0, peStatus, k_pchIntAssertion);
    return nValue;
}

uint64 ConvertStringToUint64(const char *pch, uint64 ullDefault, EKVConversionStatus *peStatus)
{
    if (!*pch)
    {
        ReportStringConversion(false, peStatus, k_pchUint64Assertion);
        return ullDefault;
    }
    // Optional sign and decimal digits; overflow wraps as the 32-bit reader's does.
    const char *pchDigits = pch;
    bool bNegative = false;
    if (*pchDigits == '-' || *pchDigits == '+')
        bNegative = *pchDigits++ == '-';
    uint64 ullValue = 0;
    const char *pchEnd = pchDigits;
    while (*pchEnd >= '0' && *pchEnd <= '9')
        ullValue = ullValue * 10 + (uint64)(*pchEnd++ - '0');
    if (pchEnd == pchDigits)
        pchEnd = pch;
    ReportStringConversion(*pchEnd == 0, peStatus, k_pchUint64Assertion);
    return bNegative ? (uint64)0 - ullValue : ullValue;
}

// Decimal reading of UTF-16 text as wcstol does it (leading white space, sign, digits).
int ConvertWStringToInt(const wchar16 *pwch, int nDefault, EKVConversionStatus *peStatus)
{
    if (!*pwch)
    {
        if (peStatus)
            *peStatus = k_EKVConversionNotNumeric;
        return nDefault;
    }
    const wchar16 *pwchStart = pwch;
    while (*pwch == u' ' || (*pwch >= u'\t' && *pwch <= u'\r'))
        ++pwch;
    bool bNegative = false;
    if (*pwch == u'-' || *pwch == u'+')
        bNegative = *pwch++ == u'-';
    const wchar16 *pwchDigits = pwch;
    uint32 unValue = 0;
    while (*pwch >= u'0' && *pwch <= u'9')
        unValue = unValue * 10 + (uint32)(*pwch++ - u'0');
    if (pwch == pwchDigits)
        pwch = pwchStart;
    if (peStatus)
        *peStatus = *pwch == 0 ? k_EKVConversionSuccess : k_EKVConversionNotNumeric;
    return (int)(bNegative ? (uint32)0 - unValue : unValue);
}

// Toward zero; values beyond the 32-bit range (and NaN) saturate instead of being undefined.
int TruncateFloat(float fl)
{
    if (!(fl > -2147483648.0f))
        return fl != fl ? 0 : INT_MIN;
    if (fl >= 2147483648.0f)
        return INT_MAX;
    return (int)fl;
}

const char *BinaryBytes(const uint8 *pubBinary)
{
    return (const char *)pubBinary + sizeof(uint32);
}
} // namespace

int KeyValues::GetIntValue(int nDefault, EKVConversionStatus *peStatus)
{
    if (peStatus)
        *peStatus = k_EKVConversionSuccess;
    switch (GetDataType())
    {
    case TYPE_STRING:
        return ConvertStringToInt(BValueOnHeap() ? m_pszValue : m_rgchValue, nDefault, peStatus);
    case TYPE_BINARY:
        return ConvertStringToInt(BinaryBytes(m_pubBinary), nDefault, peStatus);
    case TYPE_WSTRING:
        return ConvertWStringToInt(BValueOnHeap() ? m_pwszValue : m_rgwchValue, nDefault, peStatus);
    case TYPE_FLOAT:
        return TruncateFloat(m_flValue);
    case TYPE_UINT64:
        if ((m_ullValue >> 32) == 0)
            return (int)(uint32)m_ullValue;
        AssertFailed("can't convert uint64 to int32 (data loss)");
        if (peStatus)
            *peStatus = k_EKVConversionNotNumeric;
        return nDefault;
    case TYPE_INT:
    case TYPE_PTR:
    case TYPE_COLOR:
        return m_nValue;
    default:
        // A section has no number.
        if (peStatus)
            *peStatus = k_EKVConversionNotNumeric;
        return nDefault;
    }
}

uint64 KeyValues::GetUint64Value(uint64 ullDefault, EKVConversionStatus *peStatus)
{
    if (peStatus)
        *peStatus = k_EKVConversionSuccess;
    switch (GetDataType())
    {
    case TYPE_STRING:
        return ConvertStringToUint64(BValueOnHeap() ? m_pszValue : m_rgchValue, ullDefault, peStatus);
    case TYPE_BINARY:
        return ConvertStringToUint64(BinaryBytes(m_pubBinary), ullDefault, peStatus);
    case TYPE_WSTRING:
    {
        const wchar16 *pwch = BValueOnHeap() ? m_pwszValue : m_rgwchValue;
        if (!*pwch)
        {
            if (peStatus)
                *peStatus = k_EKVConversionNotNumeric;
            return ullDefault;
        }
        return (uint64)(int64)ConvertWStringToInt(pwch, 0, peStatus);
    }
    case TYPE_FLOAT:
        return (uint64)(int64)TruncateFloat(m_flValue);
    case TYPE_UINT64:
        return m_ullValue;
    case TYPE_INT:
    case TYPE_PTR:
    case TYPE_COLOR:
        return (uint64)(uint32)m_nValue;
    default:
        if (peStatus)
            *peStatus = k_EKVConversionNotNumeric;
        return ullDefault;
    }
}

// The text of a number or pointer, as the string getters store it.
void KeyValues::FormatNumberValue(char *pchOut, int cubOut) const
{
    switch (GetDataType())
    {
    case TYPE_INT:
        Q_snprintf(pchOut, cubOut, "%d", m_nValue);
        break;
    case TYPE_PTR:
        Q_snprintf(pchOut, cubOut, "%d", (int)(intptr_t)m_pValue);
        break;
    case TYPE_FLOAT:
        Q_snprintf(pchOut, cubOut, "%f", (double)m_flValue);
        break;
    case TYPE_UINT64:
        Q_snprintf(pchOut, cubOut, "%lld", (long long)m_ullValue);
        break;
    default:
        Q_strncpy(pchOut, "", cubOut);
        break;
    }
}

const char *KeyValues::GetStringValue(const char *pchDefault)
{
    char rgchNumber[k_cchNumberText];
    switch (GetDataType())
    {
    case TYPE_STRING:
        return BValueOnHeap() ? m_pszValue : m_rgchValue;
    case TYPE_BINARY:
        return BinaryBytes(m_pubBinary);
    case TYPE_INT:
    case TYPE_PTR:
    case TYPE_FLOAT:
    case TYPE_UINT64:
        FormatNumberValue(rgchNumber, sizeof(rgchNumber));
        break;
    case TYPE_WSTRING:
    {
        // The whole text, however long: the node keeps only the converted form.
        const wchar16 *pwch = BValueOnHeap() ? m_pwszValue : m_rgwchValue;
        int cubUTF8 = Q_UnicodeToUTF8(pwch, nullptr, 0);
        char *pchUTF8 = cubUTF8 > 0 ? (char *)malloc((size_t)cubUTF8) : nullptr;
        if (!pchUTF8 || Q_UnicodeToUTF8(pwch, pchUTF8, cubUTF8) <= 0)
        {
            free(pchUTF8);
            return pchDefault;
        }
        SetStringValue(pchUTF8);
        free(pchUTF8);
        return BValueOnHeap() ? m_pszValue : m_rgchValue;
    }
    default:
        return pchDefault;
    }
    SetStringValue(rgchNumber);
    return BValueOnHeap() ? m_pszValue : m_rgchValue;
}

const wchar16 *KeyValues::GetWStringValue(const wchar16 *pwchDefault)
{
    char rgchNumber[k_cchNumberText];
    const char *pchSource = rgchNumber;
    switch (GetDataType())
    {
    case TYPE_WSTRING:
        return BValueOnHeap() ? m_pwszValue : m_rgwchValue;
    case TYPE_STRING:
        pchSource = BValueOnHeap() ? m_pszValue : m_rgchValue;
        break;
    case TYPE_INT:
    case TYPE_PTR:
    case TYPE_FLOAT:
    case TYPE_UINT64:
        FormatNumberValue(rgchNumber, sizeof(rgchNumber));
        break;
    default:
        return pwchDefault;
    }
    int cubWide = Q_UTF8ToUnicode(pchSource, nullptr, 0);
    wchar16 *pwchWide = cubWide > 0 ? (wchar16 *)malloc((size_t)cubWide) : nullptr;
    if (!pwchWide || Q_UTF8ToUnicode(pchSource, pwchWide, cubWide) <= 0)
    {
        free(pwchWide);
        return pwchDefault;
    }
    SetWStringValue(pwchWide);
    free(pwchWide);
    return BValueOnHeap() ? m_pwszValue : m_rgwchValue;
}

int KeyValues::GetInt(const char *pchKeyPath, int nDefault, EKVConversionStatus *peStatus)
{
    KeyValues *pNode = FindKey(pchKeyPath);
    if (!pNode)
    {
        if (peStatus)
            *peStatus = k_EKVConversionNoKey;
        return nDefault;
    }
    return pNode->GetIntValue(nDefault, peStatus);
}

uint64 KeyValues::GetUint64(const char *pchKeyPath, uint64 ullDefault, EKVConversionStatus *peStatus)
{
    KeyValues *pNode = FindKey(pchKeyPath);
    if (!pNode)
    {
        if (peStatus)
            *peStatus = k_EKVConversionNoKey;
        return ullDefault;
    }
    return pNode->GetUint64Value(ullDefault, peStatus);
}

float KeyValues::GetFloat(const char *pchKeyPath, float flDefault)
{
    KeyValues *pNode = FindKey(pchKeyPath);
    if (!pNode)
        return flDefault;
    switch (pNode->GetDataType())
    {
    case TYPE_FLOAT:
        return pNode->m_flValue;
    case TYPE_INT:
        return (float)pNode->m_nValue;
    case TYPE_UINT64:
        return (float)pNode->m_ullValue;
    case TYPE_STRING:
        return (float)atof(pNode->BValueOnHeap() ? pNode->m_pszValue : pNode->m_rgchValue);
    default:
        return flDefault;
    }
}

const char *KeyValues::GetString(const char *pchKeyPath, const char *pchDefault)
{
    KeyValues *pNode = FindKey(pchKeyPath);
    return pNode ? pNode->GetStringValue(pchDefault) : pchDefault;
}

const wchar16 *KeyValues::GetWString(const char *pchKeyPath, const wchar16 *pwchDefault)
{
    KeyValues *pNode = FindKey(pchKeyPath);
    return pNode ? pNode->GetWStringValue(pwchDefault) : pwchDefault;
}

void *KeyValues::GetPtr(const char *pchKeyPath, void *pDefault)
{
    KeyValues *pNode = FindKey(pchKeyPath);
    return (pNode && pNode->GetDataType() == TYPE_PTR) ? pNode->m_pValue : pDefault;
}

bool KeyValues::IsEmpty(const char *pchKeyPath)
{
    KeyValues *pNode = FindKey(pchKeyPath);
    return pNode && pNode->GetDataType() == TYPE_NONE && !pNode->m_pSub;
}

const uint8 *KeyValues::GetBinary(const char *pchKeyPath, int *pcub)
{
    KeyValues *pNode = FindKey(pchKeyPath);
    if (!pNode || pNode->GetDataType() != TYPE_BINARY)
    {
        if (pcub)
            *pcub = 0;
        return nullptr;
    }
    uint32 cub;
    memcpy(&cub, pNode->m_pubBinary, sizeof(cub));
    if (pcub)
        *pcub = (int)cub;
    return pNode->m_pubBinary + sizeof(cub);
}

// The setters copy the new text before freeing the old value: it may come from this node.
void KeyValues::SetStringValue(const char *pchValue)
{
    if (!pchValue)
        pchValue = "";
    size_t cch = strlen(pchValue);
    if (cch + 1 <= sizeof(m_rgchValue))
    {
        char rgchInline[sizeof(m_rgchValue)];
        memcpy(rgchInline, pchValue, cch + 1);
        FreeValue();
        memcpy(m_rgchValue, rgchInline, cch + 1);
    }
    else
    {
        char *pchCopy = (char *)malloc(cch + 1);
        if (!pchCopy)
            return;
        memcpy(pchCopy, pchValue, cch + 1);
        FreeValue();
        m_pszValue = pchCopy;
        m_unBits |= k_unHeapBit;
    }
    SetDataType(TYPE_STRING);
}

void KeyValues::SetWStringValue(const wchar16 *pwchValue)
{
    if (!pwchValue)
        pwchValue = u"";
    size_t cwch = (size_t)Q_wcslen(pwchValue);
    size_t cub = (cwch + 1) * sizeof(wchar16);
    if (cwch + 1 <= Q_ARRAYSIZE(m_rgwchValue))
    {
        wchar16 rgwchInline[Q_ARRAYSIZE(m_rgwchValue)];
        memcpy(rgwchInline, pwchValue, cub);
        FreeValue();
        memcpy(m_rgwchValue, rgwchInline, cub);
    }
    else
    {
        wchar16 *pwchCopy = (wchar16 *)malloc(cub);
        if (!pwchCopy)
            return;
        memcpy(pwchCopy, pwchValue, cub);
        FreeValue();
        m_pwszValue = pwchCopy;
        m_unBits |= k_unHeapBit;
    }
    SetDataType(TYPE_WSTRING);
}

void KeyValues::SetIntValue(int nValue)
{
    FreeValue();
    m_nValue = nValue;
    SetDataType(TYPE_INT);
}

void KeyValues::SetUint64Value(uint64 ullValue)
{
    FreeValue();
    m_ullValue = ullValue;
    SetDataType(TYPE_UINT64);
}

void KeyValues::SetString(const char *pchKeyPath, const char *pchValue)
{
    if (KeyValues *pNode = FindKey(pchKeyPath, true))
        pNode->SetStringValue(pchValue);
}

void KeyValues::SetWString(const char *pchKeyPath, const wchar16 *pwchValue)
{
    if (KeyValues *pNode = FindKey(pchKeyPath, true))
        pNode->SetWStringValue(pwchValue);
}

void KeyValues::SetInt(const char *pchKeyPath, int nValue)
{
    if (KeyValues *pNode = FindKey(pchKeyPath, true))
        pNode->SetIntValue(nValue);
}

void KeyValues::SetUint64(const char *pchKeyPath, uint64 ullValue)
{
    if (KeyValues *pNode = FindKey(pchKeyPath, true))
        pNode->SetUint64Value(ullValue);
}

void KeyValues::SetFloat(const char *pchKeyPath, float flValue)
{
    if (KeyValues *pNode = FindKey(pchKeyPath, true))
    {
        pNode->FreeValue();
        pNode->m_flValue = flValue;
        pNode->SetDataType(TYPE_FLOAT);
    }
}

void KeyValues::SetPtr(const char *pchKeyPath, void *pValue)
{
    if (KeyValues *pNode = FindKey(pchKeyPath, true))
    {
        pNode->FreeValue();
        pNode->m_pValue = pValue;
        pNode->SetDataType(TYPE_PTR);
    }
}

void KeyValues::SetColor(const char *pchKeyPath, uint8 r, uint8 g, uint8 b, uint8 a)
{
    if (KeyValues *pNode = FindKey(pchKeyPath, true))
    {
        pNode->FreeValue();
        pNode->m_rgubColor[0] = r;
        pNode->m_rgubColor[1] = g;
        pNode->m_rgubColor[2] = b;
        pNode->m_rgubColor[3] = a;
        pNode->SetDataType(TYPE_COLOR);
    }
}

void KeyValues::SetBinary(const char *pchKeyPath, const void *pData, int cubData)
{
    KeyValues *pNode = FindKey(pchKeyPath, true);
    if (!pNode)
        return;
    uint32 cub = cubData > 0 ? (uint32)cubData : 0;
    uint8 *pubBlock = (uint8 *)malloc(sizeof(cub) + cub + 1);
    if (!pubBlock)
        return;
    memcpy(pubBlock, &cub, sizeof(cub));
    if (cub)
        memcpy(pubBlock + sizeof(cub), pData, cub);
    pubBlock[sizeof(cub) + cub] = 0;
    pNode->FreeValue();
    pNode->m_pubBinary = pubBlock;
    pNode->SetDataType(TYPE_BINARY);
}

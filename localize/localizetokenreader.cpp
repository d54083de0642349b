// Token readers of 8-bit and UTF-16 language files.
#include "localize/localizetokenreader.h"

#include "foundation/dbg.h"
#include "foundation/strtools.h"

#include <cstring>

namespace
{
bool BIsUTF8Continuation(char ch)
{
    return ((unsigned char)ch & 0xC0) == 0x80;
}

// The length of pch cut to at most cchMax bytes, moved back to the start of a UTF-8
// sequence that the cut would split (at most three bytes back; invalid text is cut where
// it is).
int CutUTF8(const char *pch, int cch, int cchMax)
{
    if (cch <= cchMax)
        return cch;
    int cchCut = cchMax;
    for (int i = 0; i < 3 && cchCut > 0 && BIsUTF8Continuation(pch[cchCut]); ++i)
        --cchCut;
    return BIsUTF8Continuation(pch[cchCut]) ? cchMax : cchCut;
}

bool BIsWideSpace(wchar16 wch)
{
    return wch == ' ' || (wch >= '\t' && wch <= '\r');
}

bool BIsHighSurrogate(wchar16 wch)
{
    return wch >= 0xD800 && wch <= 0xDBFF;
}

bool BIsLowSurrogate(wchar16 wch)
{
    return wch >= 0xDC00 && wch <= 0xDFFF;
}
} // namespace

// ---- 8-bit files ----

CLocalizeTokenReader8::CLocalizeTokenReader8(const char *pchData, int cubData, const char *pchFileName)
    : m_Parser(pchFileName, true), m_strFileName(pchFileName)
{
    if (pchData && cubData > 0)
        m_pBuf.reset(new CUtlBuffer(pchData, cubData, CUtlBuffer::READ_ONLY | CUtlBuffer::TEXT_BUFFER));
}

const char *CLocalizeTokenReader8::ReadToken(int cchMax, const char *pchWhat, int *pcchToken)
{
    if (!m_pBuf)
        return nullptr;
    bool bWasQuoted = false;
    bool bWasConditional = false;
    const char *pchToken = KeyValues::ReadToken(*m_pBuf, bWasQuoted, true, m_Parser, bWasConditional);
    if (!pchToken || (!*pchToken && !bWasQuoted))
        return nullptr;
    int cch = (int)strlen(pchToken);
    *pcchToken = CutUTF8(pchToken, cch, cchMax);
    if (*pcchToken < cch)
    {
        Msg("ILocalize::AddFile() file \"%s\": %s longer than %d bytes cut [offset: %d].\n",
            m_strFileName.Get(), pchWhat, cchMax, m_pBuf->TellGet());
    }
    return pchToken;
}

bool CLocalizeTokenReader8::BReadKey(char *pchKey)
{
    int cch = 0;
    const char *pchToken = ReadToken(k_cchMaxKey, "key", &cch);
    if (!pchToken)
        return false;
    memcpy(pchKey, pchToken, (size_t)cch);
    pchKey[cch] = 0;
    return true;
}

bool CLocalizeTokenReader8::BReadValue(wchar16 *pwchValue)
{
    int cch = 0;
    const char *pchToken = ReadToken(k_cchMaxValue, "value", &cch);
    if (!pchToken)
        return false;
    char rgchValue[k_cchMaxValue + 1];
    memcpy(rgchValue, pchToken, (size_t)cch);
    rgchValue[cch] = 0;
    Q_UTF8ToUnicode(rgchValue, pwchValue, k_cchValueBuffer * (int)sizeof(wchar16), k_EStringConvertReplace);
    return true;
}

// ---- UTF-16 files ----

CLocalizeTokenReader16::CLocalizeTokenReader16(const wchar16 *pwchText, int nFileOffset,
                                               const char *pchFileName)
    : m_pwchText(pwchText), m_pwch(pwchText), m_nFileOffset(nFileOffset), m_strFileName(pchFileName)
{
    // A second byte order mark, as some editors write one into the text itself.
    if (*m_pwch == 0xFEFF)
        ++m_pwch;
}

int CLocalizeTokenReader16::FileOffset() const
{
    return m_nFileOffset + (int)(m_pwch - m_pwchText) * (int)sizeof(wchar16);
}

void CLocalizeTokenReader16::ReportProblem(const char *pchProblem)
{
    Msg("ILocalize::AddFile() file \"%s\": %s [offset: %d].\n", m_strFileName.Get(), pchProblem,
        FileOffset());
}

bool CLocalizeTokenReader16::BReadToken(wchar16 *pwchOut, int cchOut, bool *pbQuoted)
{
    pwchOut[0] = 0;
    bool bQuoted;
    if (m_eRemainder != k_ERemainderNone)
    {
        bQuoted = m_eRemainder == k_ERemainderQuoted;
        m_eRemainder = k_ERemainderNone;
    }
    else
    {
        while (BIsWideSpace(*m_pwch))
            ++m_pwch;
        bQuoted = *m_pwch == '"';
        if (bQuoted)
            ++m_pwch;
    }
    *pbQuoted = bQuoted;

    int cch = 0;
    for (;;)
    {
        wchar16 wch = *m_pwch;
        if (wch == 0)
        {
            if (bQuoted)
                ReportProblem("quoted text not closed at the end of the file");
            break;
        }
        if (bQuoted && wch == '"')
        {
            ++m_pwch;
            break;
        }
        if (!bQuoted && BIsWideSpace(wch))
            break;

        int cchConsumed = 1;
        if (bQuoted && wch == '\\' && (m_pwch[1] == 'n' || m_pwch[1] == '"'))
        {
            wch = m_pwch[1] == 'n' ? (wchar16)'\n' : (wchar16)'"';
            cchConsumed = 2;
        }
        // Full: the rest is the next token. A surrogate pair goes there whole.
        int cchNeeded = (BIsHighSurrogate(wch) && BIsLowSurrogate(m_pwch[1])) ? 2 : 1;
        if (cch + cchNeeded > cchOut - 1)
        {
            char rgchProblem[96];
            Q_snprintf(rgchProblem, sizeof(rgchProblem),
                       "token longer than %d characters cut, the rest read on", cchOut - 1);
            ReportProblem(rgchProblem);
            m_eRemainder = bQuoted ? k_ERemainderQuoted : k_ERemainderUnquoted;
            break;
        }
        pwchOut[cch++] = wch;
        m_pwch += cchConsumed;
        if (cchNeeded == 2)
            pwchOut[cch++] = *m_pwch++;
    }
    pwchOut[cch] = 0;
    return cch > 0 || bQuoted;
}

void CLocalizeTokenReader16::SkipRestOfLine()
{
    m_eRemainder = k_ERemainderNone;
    while (*m_pwch && *m_pwch != '\r' && *m_pwch != '\n')
        ++m_pwch;
    if (*m_pwch == '\r')
        ++m_pwch;
    while (*m_pwch == '\r' || *m_pwch == '\n')
        ++m_pwch;
}

bool CLocalizeTokenReader16::BReadKey(char *pchKey)
{
    wchar16 rgwchKey[k_cchMaxKey + 1];
    for (;;)
    {
        bool bQuoted = false;
        if (!BReadToken(rgwchKey, Q_ARRAYSIZE(rgwchKey), &bQuoted))
            return false;
        if (rgwchKey[0] == '/' && rgwchKey[1] == '/')
        {
            SkipRestOfLine();
            continue;
        }
        Q_UnicodeToUTF8(rgwchKey, pchKey, k_cubKeyBuffer, k_EStringConvertReplace);
        return true;
    }
}

bool CLocalizeTokenReader16::BReadValue(wchar16 *pwchValue)
{
    bool bQuoted = false;
    return BReadToken(pwchValue, k_cchValueBuffer, &bQuoted);
}

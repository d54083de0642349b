// KeyValues text reader: the tokenizer, the block loader with its conditionals, and the
// error reports with their key path.
#include "foundation/keyvalues.h"

#include "foundation/dbg.h"
#include "foundation/strtools.h"
#include "foundation/utlbuffer.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <unordered_map>
#include <unordered_set>

namespace
{
inline bool BIsSpace(unsigned char ch)
{
    return ch == ' ' || (ch >= '\t' && ch <= '\r');
}

// Characters that end an unquoted token (none of them is consumed with it).
inline bool BEndsUnquotedToken(unsigned char ch)
{
    return ch == 0 || ch == '"' || ch == '{' || ch == '}' || ch == '=' || BIsSpace(ch);
}

// White space and "//" comments before a token.
void SkipWhiteSpaceAndComments(CUtlBuffer &buf)
{
    do
    {
        buf.EatWhiteSpace();
    } while (buf.EatCPPComment());
}

// Whether the next token is a conditional, without consuming it (white space and comments
// before it are consumed, which changes nothing for the next read).
bool BPeekConditional(CUtlBuffer &buf)
{
    if (!buf.IsValid())
        return false;
    SkipWhiteSpaceAndComments(buf);
    int cchLeft = buf.GetBytesRemaining();
    const unsigned char *pch = cchLeft > 0 ? (const unsigned char *)buf.PeekGet(cchLeft, 0) : nullptr;
    if (!pch || *pch == '"' || *pch == '{' || *pch == '}' || *pch == '=')
        return false;
    bool bOpen = false;
    for (int i = 0; i < cchLeft && !BEndsUnquotedToken(pch[i]); ++i)
    {
        if (pch[i] == '[')
            bOpen = true;
        else if (pch[i] == ']' && bOpen)
            return true;
    }
    return false;
}

bool BIsUnquoted(const char *pchToken, bool bWasQuoted, char ch)
{
    return !bWasQuoted && pchToken[0] == ch && pchToken[1] == 0;
}
} // namespace

// ---- CKeyValuesParser ----

CKeyValuesParser::CKeyValuesParser(const char *pchResourceName, bool bPrintErrors)
    : m_errorIndex(0), m_nMaxErrorIndex(0), m_pchTokenBuffer(nullptr), m_cErrors(0),
      m_bPrintErrors(bPrintErrors)
{
    memset(m_rghPath, 0, sizeof(m_rghPath));
    SetResourceName(pchResourceName);
}

CKeyValuesParser::~CKeyValuesParser()
{
    ReleaseTokenBuffer();
}

void CKeyValuesParser::SetResourceName(const char *pchResourceName)
{
    m_strResourceName.Set(pchResourceName ? pchResourceName : "NULL");
}

void CKeyValuesParser::BeginLoad()
{
    m_nMaxErrorIndex = m_errorIndex;
}

void CKeyValuesParser::ClearErrors()
{
    m_strErrors.Clear();
    m_cErrors = 0;
    m_nMaxErrorIndex = m_errorIndex;
}

char *CKeyValuesParser::GetTokenBuffer()
{
    if (!m_pchTokenBuffer)
        m_pchTokenBuffer = new char[k_cchMaxToken + 1];
    return m_pchTokenBuffer;
}

void CKeyValuesParser::ReleaseTokenBuffer()
{
    delete[] m_pchTokenBuffer;
    m_pchTokenBuffer = nullptr;
}

void CKeyValuesParser::PushKey(HKeySymbol hSymbol)
{
    // Deeper entries are counted so that the pops match, but not kept.
    if (m_errorIndex < k_nMaxPathEntries)
        m_rghPath[m_errorIndex] = hSymbol;
    ++m_errorIndex;
    if (m_errorIndex > m_nMaxErrorIndex)
        m_nMaxErrorIndex = m_errorIndex;
}

void CKeyValuesParser::PopKey()
{
    --m_errorIndex;
    if (m_errorIndex < 0)
    {
        AssertFailed("m_errorIndex>=0");
        m_errorIndex = 0;
    }
}

void CKeyValuesParser::SetCurrentKey(HKeySymbol hSymbol)
{
    if (m_errorIndex > 0 && m_errorIndex <= k_nMaxPathEntries)
        m_rghPath[m_errorIndex - 1] = hSymbol;
}

void CKeyValuesParser::ReportError(const CUtlBuffer &buf, const char *pchMessage)
{
    ++m_cErrors;
    if (m_cErrors > k_cMaxErrorReports + 1)
        return;
    CUtlString strReport;
    if (m_cErrors == k_cMaxErrorReports + 1)
    {
        // A broken file must not turn into megabytes of reports.
        strReport.Format("KeyValues Error: too many errors in file %s, the rest are not reported\n",
                         m_strResourceName.Get());
    }
    else
    {
        char rgchReport[512];
        Q_snprintf(rgchReport, sizeof(rgchReport), "KeyValues Error: %s in file %s [offset: %d]\n",
                   pchMessage, m_strResourceName.Get(), buf.TellGet());
        strReport = rgchReport;
        // The key path: open levels as "name, ", levels left behind deeper down as "(*name*), ".
        int nEntries = m_nMaxErrorIndex < k_nMaxPathEntries ? m_nMaxErrorIndex : k_nMaxPathEntries;
        for (int i = 0; i < nEntries; ++i)
        {
            if (m_rghPath[i] == INVALID_KEY_SYMBOL)
                continue;
            const char *pchName = KeyValuesSystem()->GetNameForSymbol(m_rghPath[i]);
            if (i < m_errorIndex)
            {
                strReport += pchName;
                strReport += ", ";
            }
            else
            {
                strReport += "(*";
                strReport += pchName;
                strReport += "*), ";
            }
        }
        strReport += "\n";
    }
    if (m_bPrintErrors)
        Msg("%s", strReport.Get());
    m_strErrors += strReport.Get();
}

// ---- tokenizer ----

const char *KeyValues::ReadToken(CUtlBuffer &buf, bool &bWasQuoted, bool bHasEscapes,
                                 CKeyValuesParser &parser, bool &bWasConditional)
{
    bWasQuoted = false;
    bWasConditional = false;
    if (!buf.IsValid())
        return nullptr;
    SkipWhiteSpaceAndComments(buf);
    int cchLeft = buf.GetBytesRemaining();
    const char *pch = cchLeft > 0 ? (const char *)buf.PeekGet(cchLeft, 0) : nullptr;
    if (!pch)
        return nullptr;

    char *pchToken = parser.GetTokenBuffer();
    if (*pch == '"')
    {
        bWasQuoted = true;
        buf.GetDelimitedString(bHasEscapes ? GetCStringCharConversion() : GetNoEscCharConversion(), pchToken,
                               CKeyValuesParser::k_cchMaxToken + 1);
        return pchToken;
    }
    if (*pch == '{' || *pch == '}' || *pch == '=')
    {
        pchToken[0] = *pch;
        pchToken[1] = 0;
        buf.SeekGet(CUtlBuffer::SEEK_CURRENT, 1);
        return pchToken;
    }

    int cch = 0;
    bool bOpen = false;
    while (cch < cchLeft && !BEndsUnquotedToken((unsigned char)pch[cch]))
    {
        if (pch[cch] == '[')
            bOpen = true;
        else if (pch[cch] == ']' && bOpen)
            bWasConditional = true;
        ++cch;
    }
    int cchKept = cch < CKeyValuesParser::k_cchMaxToken ? cch : CKeyValuesParser::k_cchMaxToken;
    memcpy(pchToken, pch, (size_t)cchKept);
    pchToken[cchKept] = 0;
    if (cch > cchKept)
    {
        // Reported where the first character is dropped; the rest of the run goes with it.
        buf.SeekGet(CUtlBuffer::SEEK_CURRENT, cchKept);
        parser.ReportError(buf, " ReadToken overflow");
        buf.SeekGet(CUtlBuffer::SEEK_CURRENT, cch - cchKept);
    }
    else
    {
        buf.SeekGet(CUtlBuffer::SEEK_CURRENT, cch);
    }
    return pchToken;
}

// ---- value typing ----

// An integer only when the text is exactly one: digits with an optional sign or leading
// blanks, inside the 32-bit range (its two ends excluded), without a leading zero unless it
// is "0". Anything else (007, 1.5, 1,000, 99999999999) stays a string.
void KeyValues::SetValueFromToken(const char *pchToken)
{
    bool bInteger = pchToken[0] != 0 && !(pchToken[0] == '0' && pchToken[1] != 0);
    for (const char *pch = pchToken; bInteger && *pch; ++pch)
    {
        char ch = *pch;
        bInteger = (ch >= '0' && ch <= '9') || ch == '+' || ch == ',' || ch == '-' || ch == '.' || ch == ' ';
    }
    if (bInteger)
    {
        char *pchEnd = nullptr;
        errno = 0;
        long long llValue = strtoll(pchToken, &pchEnd, 10);
        if (pchEnd && *pchEnd == 0 && pchEnd != pchToken && errno == 0 && llValue > INT_MIN &&
            llValue < INT_MAX)
        {
            SetIntValue((int)llValue);
            return;
        }
    }
    SetStringValue(pchToken);
}

// ---- loading ----

bool KeyValues::LoadFromString(const char *pchResourceName, const char *pchText, CKeyValuesParser *pParser)
{
    Clear();
    if (!pchText)
        return true;
    size_t cchText = strlen(pchText);
    if (cchText > (size_t)INT_MAX)
        return false;
    if (cchText == 0)
    {
        // Reported like an empty file.
        CUtlBuffer bufEmpty(0, 0, CUtlBuffer::TEXT_BUFFER);
        LoadFromBuffer(pchResourceName, bufEmpty, pParser);
        return false;
    }
    CUtlBuffer buf(pchText, (int)cchText, CUtlBuffer::READ_ONLY | CUtlBuffer::TEXT_BUFFER);
    return LoadFromBuffer(pchResourceName, buf, pParser);
}

bool KeyValues::LoadFromBuffer(const char *pchResourceName, CUtlBuffer &buf, CKeyValuesParser *pParser)
{
    AssertMsg(buf.GetFlags() & CUtlBuffer::TEXT_BUFFER, "buf.GetFlags() & CUtlBuffer::TEXT_BUFFER");
    CKeyValuesParser parserLocal;
    CKeyValuesParser &parser = pParser ? *pParser : parserLocal;
    if (pchResourceName || !pParser)
        parser.SetResourceName(pchResourceName);
    const char *pchResource = parser.GetResourceName();
    int cErrorsBefore = parser.GetErrorCount();
    parser.BeginLoad();
    const bool bEscapes = HasEscapeSequences();

    if (buf.PeekStringMatch(0, "\xEF\xBB\xBF", 3))
        buf.SeekGet(CUtlBuffer::SEEK_CURRENT, 3);

    bool bWasQuoted;
    bool bWasConditional;
    bool bReadAnything = false;
    KeyValues *pLastAccepted = nullptr; // the last top-level node kept; null while this one is free
    for (;;)
    {
        const char *pchToken = ReadToken(buf, bWasQuoted, bEscapes, parser, bWasConditional);
        if (!pchToken || !buf.IsValid() || (!*pchToken && !bWasQuoted))
            break;
        bReadAnything = true;

        if (!Q_stricmp(pchToken, "#include"))
        {
            // Nothing is included any more; the directive and its argument are skipped.
            pchToken = ReadToken(buf, bWasQuoted, bEscapes, parser, bWasConditional);
            if (!pchToken || !*pchToken)
                parser.ReportError(buf, "#include is NULL ");
            else
                AssertFailedV("KeyValues don't support #include anymore, file \"%s\"", pchResource);
            continue;
        }

        KeyValues *pBlock = this;
        if (pLastAccepted)
        {
            pBlock = new KeyValues(pchToken);
            pBlock->UsesEscapeSequences(bEscapes);
        }
        else
        {
            SetName(pchToken);
        }

        bool bAccepted = true;
        pchToken = ReadToken(buf, bWasQuoted, bEscapes, parser, bWasConditional);
        if (pchToken && bWasConditional)
        {
            bAccepted = EvaluateConditional(pchToken);
            pchToken = ReadToken(buf, bWasQuoted, bEscapes, parser, bWasConditional);
        }

        if (!pchToken || !BIsUnquoted(pchToken, bWasQuoted, '{'))
        {
            char rgchMessage[1200];
            Q_snprintf(rgchMessage, sizeof(rgchMessage), "LoadFromBuffer: missing {   (current key: '%s')",
                       pBlock->GetName());
            parser.ReportError(buf, rgchMessage);
        }
        else
        {
            pBlock->RecursiveLoadFromBuffer(pchResource, buf, parser, false);
        }

        if (!bAccepted)
        {
            // A false block is dropped; this node (emptied) takes the next block.
            if (pBlock == this)
                Clear();
            else
                pBlock->DeleteThis();
            continue;
        }
        if (pBlock != this)
        {
            // Inserted, not overwritten: peers left from an earlier load stay owned.
            pBlock->m_pPeer = pLastAccepted->m_pPeer;
            pLastAccepted->m_pPeer = pBlock;
        }
        pLastAccepted = pBlock;
    }

    if (!bReadAnything)
        parser.ReportError(buf, "LoadFromBuffer: empty input, no key found");
    if (!pParser)
        parser.ReleaseTokenBuffer();
    if (parser.GetErrorCount() != cErrorsBefore)
    {
        AssertFailedV("Error while parsing text KeyValues for resource %s", pchResource);
        return false;
    }
    return true;
}

void KeyValues::RecursiveLoadFromBuffer(const char *pchResourceName, CUtlBuffer &buf,
                                        CKeyValuesParser &parser, bool bAllowEndOfInput)
{
    parser.PushKey(GetNameSymbol());
    parser.PushKey(INVALID_KEY_SYMBOL);
    const bool bEscapes = HasEscapeSequences();

    // Children already present stay in front of the new ones.
    KeyValues *pTail = nullptr;
    if (GetDataType() != TYPE_NONE)
        FreeValue();
    for (KeyValues *pChild = m_pSub; pChild; pChild = pChild->m_pPeer)
        pTail = pChild;

    // A conditional key that holds replaces the first key of the same name before it. The
    // children of each name, oldest first, are indexed on the first replacement of the block,
    // so that every replacement finds its key at once; replaced keys stay linked (nothing
    // reads the block while it loads) and go in one pass at its end.
    std::unique_ptr<std::unordered_map<HKeySymbol, std::deque<KeyValues *>>> pEarlier;
    std::unordered_set<KeyValues *> setDestroyed;
    auto fnDestroyFirstEarlier = [&](KeyValues *pNewChild)
    {
        if (!pEarlier)
        {
            pEarlier.reset(new std::unordered_map<HKeySymbol, std::deque<KeyValues *>>);
            for (KeyValues *pChild = m_pSub; pChild; pChild = pChild->m_pPeer)
                (*pEarlier)[pChild->GetNameSymbol()].push_back(pChild);
        }
        std::deque<KeyValues *> &dequeSameName = (*pEarlier)[pNewChild->GetNameSymbol()];
        if (dequeSameName.empty() || dequeSameName.front() == pNewChild)
            return;
        setDestroyed.insert(dequeSameName.front());
        dequeSameName.pop_front();
    };

    bool bWasQuoted;
    bool bWasConditional;
    for (;;)
    {
        const char *pchToken = ReadToken(buf, bWasQuoted, bEscapes, parser, bWasConditional);
        if (!pchToken)
        {
            if (!bAllowEndOfInput)
                parser.ReportError(buf, "RecursiveLoadFromBuffer:  got EOF instead of keyname");
            break;
        }
        if (!*pchToken)
        {
            parser.ReportError(buf, "RecursiveLoadFromBuffer:  got empty keyname");
            break;
        }
        if (BIsUnquoted(pchToken, bWasQuoted, '}'))
            break;

        KeyValues *pPrevTail = pTail;
        KeyValues *pChild = new KeyValues(pchToken);
        pChild->UsesEscapeSequences(bEscapes);
        AppendChild(pChild, pTail);
        if (pEarlier)
            (*pEarlier)[pChild->GetNameSymbol()].push_back(pChild);
        parser.SetCurrentKey(pChild->GetNameSymbol());

        bool bAccepted = true;
        pchToken = ReadToken(buf, bWasQuoted, bEscapes, parser, bWasConditional);
        if (pchToken && bWasConditional)
        {
            bAccepted = EvaluateConditional(pchToken);
            pchToken = ReadToken(buf, bWasQuoted, bEscapes, parser, bWasConditional);
        }
        if (pchToken && BIsUnquoted(pchToken, bWasQuoted, '='))
        {
            pchToken = ReadToken(buf, bWasQuoted, bEscapes, parser, bWasConditional);
            if (pchToken && bWasConditional)
            {
                bool bHolds = EvaluateConditional(pchToken);
                bAccepted = bAccepted && bHolds;
                pchToken = ReadToken(buf, bWasQuoted, bEscapes, parser, bWasConditional);
                if (bHolds)
                    fnDestroyFirstEarlier(pChild);
            }
        }

        bool bError = false;
        if (!pchToken)
        {
            parser.ReportError(buf, "RecursiveLoadFromBuffer:  got NULL key");
            bError = true;
        }
        else if (BIsUnquoted(pchToken, bWasQuoted, '}'))
        {
            parser.ReportError(buf, "RecursiveLoadFromBuffer:  got } in key");
            bError = true;
        }
        else if (BIsUnquoted(pchToken, bWasQuoted, '{'))
        {
            parser.SetCurrentKey(INVALID_KEY_SYMBOL);
            // Each block level costs stack; a text cannot open more than this many.
            if (parser.GetPathDepth() / 2 >= CKeyValuesParser::k_nMaxNesting)
            {
                parser.ReportError(buf, "RecursiveLoadFromBuffer:  blocks nested deeper than 64 levels");
                bError = true;
            }
            else
            {
                pChild->RecursiveLoadFromBuffer(pchResourceName, buf, parser, false);
            }
        }
        else if (bWasConditional)
        {
            parser.ReportError(buf, "RecursiveLoadFromBuffer:  got conditional between key and value");
            bError = true;
        }
        else
        {
            pChild->SetValueFromToken(pchToken);
            if (BPeekConditional(buf))
            {
                pchToken = ReadToken(buf, bWasQuoted, bEscapes, parser, bWasConditional);
                bool bHolds = EvaluateConditional(pchToken);
                bAccepted = bAccepted && bHolds;
                if (bHolds)
                    fnDestroyFirstEarlier(pChild);
            }
        }

        if (!bAccepted)
        {
            if (pEarlier)
                (*pEarlier)[pChild->GetNameSymbol()].pop_back();
            // The new child is the tail: unlink it and give the tail back to the one before.
            if (pPrevTail)
                pPrevTail->m_pPeer = nullptr;
            else
                m_pSub = nullptr;
            pTail = pPrevTail;
            pChild->DeleteThis();
        }
        if (bError)
            break;
    }

    if (!setDestroyed.empty())
    {
        KeyValues *pPrev = nullptr;
        for (KeyValues *pChild = m_pSub; pChild;)
        {
            KeyValues *pNext = pChild->m_pPeer;
            if (setDestroyed.count(pChild))
            {
                (pPrev ? pPrev->m_pPeer : m_pSub) = pNext;
                pChild->m_pPeer = nullptr;
                pChild->DeleteThis();
            }
            else
            {
                pPrev = pChild;
            }
            pChild = pNext;
        }
    }

    parser.PopKey();
    parser.PopKey();
}

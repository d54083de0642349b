// KeyValues text writer.
#include "foundation/keyvalues.h"

#include "foundation/dbg.h"
#include "foundation/strtools.h"
#include "foundation/utlbuffer.h"

#include <cstdlib>
#include <cstring>

namespace
{
void WriteIndent(CUtlBuffer &buf, int nIndentLevel)
{
    static const char k_rgchTabs[] = "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t";
    const int cchTabs = (int)sizeof(k_rgchTabs) - 1;
    while (nIndentLevel > 0)
    {
        int cch = nIndentLevel < cchTabs ? nIndentLevel : cchTabs;
        buf.Put(k_rgchTabs, cch);
        nIndentLevel -= cch;
    }
}

// A double quote gets a backslash before it; a backslash is doubled only with escapes on
// (without them a backslash is an ordinary character to the reader). Runs without either
// are written in one piece.
void WriteEscaped(CUtlBuffer &buf, const char *pch, bool bEscapes, bool bLowerCase)
{
    if (bLowerCase)
    {
        for (; *pch; ++pch)
        {
            char ch = Q_tolower_ascii(*pch);
            if (ch == '"' || (bEscapes && ch == '\\'))
                buf.PutChar('\\');
            buf.PutChar(ch);
        }
        return;
    }
    const char *pchRun = pch;
    for (; *pch; ++pch)
    {
        if (*pch != '"' && !(bEscapes && *pch == '\\'))
            continue;
        buf.Put(pchRun, (int)(pch - pchRun));
        buf.PutChar('\\');
        pchRun = pch;
    }
    buf.Put(pchRun, (int)(pch - pchRun));
}

void WriteQuoted(CUtlBuffer &buf, const char *pch, bool bEscapes, bool bLowerCase)
{
    buf.PutChar('"');
    WriteEscaped(buf, pch, bEscapes, bLowerCase);
    buf.PutChar('"');
}
} // namespace

void KeyValues::RecursiveSaveToFile(CUtlBuffer &buf, int nIndentLevel, int nFlags)
{
    const bool bLowerCase = (nFlags & k_ESaveLowerCaseNames) != 0;
    WriteIndent(buf, nIndentLevel);
    WriteQuoted(buf, GetName(), HasEscapeSequences(), bLowerCase);
    buf.PutChar('\n');
    WriteIndent(buf, nIndentLevel);
    buf.Put("{\n", 2);

    for (KeyValues *pChild = GetFirstSubKey(); pChild; pChild = pChild->m_pPeer)
    {
        types_t eType = pChild->GetDataType();
        if (eType == TYPE_NONE)
        {
            pChild->RecursiveSaveToFile(buf, nIndentLevel + 1, nFlags);
            continue;
        }
        if (eType == TYPE_PTR)
            continue;
        if (eType == TYPE_COLOR)
        {
            Msg("KeyValues::RecursiveSaveToFile: TODO, missing code for TYPE_COLOR.\n");
            continue;
        }
        if (eType == TYPE_BINARY)
        {
            AssertFailed(
                "KeyValues::RecursiveSaveToFile: TODO, missing code for saving binary data to file.\n");
            continue;
        }

        const bool bEscapes = pChild->HasEscapeSequences();
        WriteIndent(buf, nIndentLevel + 1);
        if (eType == TYPE_WSTRING)
        {
            // The name of a wide-string line is written as it is.
            buf.PutChar('"');
            buf.PutString(pChild->GetName());
            buf.PutChar('"');
        }
        else
        {
            WriteQuoted(buf, pChild->GetName(), bEscapes, bLowerCase);
        }
        buf.Put("\t\t\"", 3);

        char rgchNumber[64];
        switch (eType)
        {
        case TYPE_STRING:
            WriteEscaped(buf, pChild->BValueOnHeap() ? pChild->m_pszValue : pChild->m_rgchValue, bEscapes,
                         false);
            break;
        case TYPE_INT:
            Q_snprintf(rgchNumber, sizeof(rgchNumber), "%d", pChild->m_nValue);
            buf.PutString(rgchNumber);
            break;
        case TYPE_FLOAT:
            Q_snprintf(rgchNumber, sizeof(rgchNumber), "%.18g", (double)pChild->m_flValue);
            buf.PutString(rgchNumber);
            break;
        case TYPE_UINT64:
            if (nFlags & k_ESaveUint64Unsigned)
                Q_snprintf(rgchNumber, sizeof(rgchNumber), "%llu", (unsigned long long)pChild->m_ullValue);
            else
                Q_snprintf(rgchNumber, sizeof(rgchNumber), "%lld", (long long)pChild->m_ullValue);
            buf.PutString(rgchNumber);
            break;
        case TYPE_WSTRING:
        {
            // The whole text: a cut here would lose data in the file.
            const wchar16 *pwch = pChild->BValueOnHeap() ? pChild->m_pwszValue : pChild->m_rgwchValue;
            int cubUTF8 = Q_UnicodeToUTF8(pwch, nullptr, 0);
            char *pchUTF8 = cubUTF8 > 0 ? (char *)malloc((size_t)cubUTF8) : nullptr;
            if (pchUTF8 && Q_UnicodeToUTF8(pwch, pchUTF8, cubUTF8) > 0)
                WriteEscaped(buf, pchUTF8, bEscapes, false);
            free(pchUTF8);
            break;
        }
        default:
            break;
        }
        buf.Put("\"\n", 2);
    }

    WriteIndent(buf, nIndentLevel);
    buf.Put("}\n", 2);
}

bool KeyValues::WriteAsText(CUtlBuffer &buf, bool bWithPeers, int nFlags)
{
    for (KeyValues *pNode = this; pNode; pNode = bWithPeers ? pNode->m_pPeer : nullptr)
        pNode->RecursiveSaveToFile(buf, 0, nFlags);
    return buf.IsValid();
}

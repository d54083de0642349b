// Conditional expressions of KeyValues text: "[$LINUX]", "[!$X360 && ($BETA || $1)]".
#include "foundation/keyvalues.h"

#include "foundation/dbg.h"
#include "foundation/strtools.h"

#include <cstring>

namespace
{
// Operand names are cut to this many characters.
const int k_cchMaxOperand = 126;
// Parentheses and "!" nest at most this deep, so that a hostile token cannot exhaust the stack.
const int k_nMaxExpressionDepth = 64;

// The build decides the platform names: both Windows builds, 32- and 64-bit, are "WIN32"
// (as the Windows headers say of either) and neither is "WIN64".
bool BWindowsBuild()
{
#ifdef _WIN32
    return true;
#else
    return false;
#endif
}

bool BEvaluateName(const char *pchName)
{
    if (!strcmp(pchName, "$0"))
        return false;
    if (!strcmp(pchName, "$1"))
        return true;
    const char *pch = pchName + 1; // past the dollar sign
    // The Windows build requires Windows 7 or later (its _WIN32_WINNT), so the version tests
    // "Vista or later" and "7 or later" hold wherever it runs.
    if (!Q_stricmp(pch, "WINDOWS") || !Q_stricmp(pch, "WIN32") || !Q_stricmp(pch, "VISTA") ||
        !Q_stricmp(pch, "WIN7"))
        return BWindowsBuild();
    if (!Q_stricmp(pch, "POSIX") || !Q_stricmp(pch, "LINUX"))
        return !BWindowsBuild();
    if (!Q_stricmp(pch, "WIN64") || !Q_stricmp(pch, "OSX") || !Q_stricmp(pch, "X360") ||
        !Q_stricmp(pch, "PS3"))
        return false;
    return KeyValuesSystem()->GetConditional(pch);
}

// Recursive descent over the text after "["; "]" or the end of the text ends it. The first
// bad token is printed and makes the whole expression false.
class CConditionalExpression
{
public:
    explicit CConditionalExpression(const char *pch) : m_pch(pch), m_bError(false), m_nDepth(0) {}

    bool BEvaluate()
    {
        bool bValue = ParseExpression();
        SkipBlanks();
        if (!m_bError && *m_pch && *m_pch != ']')
            BadToken();
        return bValue && !m_bError;
    }

private:
    void SkipBlanks()
    {
        while (*m_pch == ' ' || *m_pch == '\t')
            ++m_pch;
    }

    void BadToken()
    {
        if (!m_bError)
            Warning("Bad expression token: %c\n", *m_pch);
        m_bError = true;
    }

    // Operands joined by "&&" and "||", which bind equally and combine left to right.
    bool ParseExpression()
    {
        bool bValue = ParseUnary();
        while (!m_bError)
        {
            SkipBlanks();
            char ch = *m_pch;
            if (ch != '&' && ch != '|')
                break;
            if (m_pch[1] != ch)
            {
                Warning("Bad expression token: %c %c\n", ch, m_pch[1]);
                m_bError = true;
                break;
            }
            m_pch += 2;
            bool bRight = ParseUnary();
            bValue = ch == '&' ? (bValue && bRight) : (bValue || bRight);
        }
        return bValue;
    }

    bool ParseUnary()
    {
        SkipBlanks();
        if (m_bError)
            return false;
        if (++m_nDepth > k_nMaxExpressionDepth)
        {
            BadToken();
            return false;
        }
        bool bValue = false;
        if (*m_pch == '!')
        {
            ++m_pch;
            bValue = !ParseUnary();
        }
        else if (*m_pch == '(')
        {
            ++m_pch;
            bValue = ParseExpression();
            SkipBlanks();
            if (*m_pch == ')')
                ++m_pch;
            else
                BadToken();
        }
        else
        {
            bValue = ParseOperand();
        }
        --m_nDepth;
        return bValue;
    }

    bool ParseOperand()
    {
        char rgchOperand[k_cchMaxOperand + 1];
        int cch = 0;
        if (*m_pch == '$')
        {
            rgchOperand[cch++] = *m_pch++;
            while ((*m_pch >= 'a' && *m_pch <= 'z') || (*m_pch >= 'A' && *m_pch <= 'Z') ||
                   (*m_pch >= '0' && *m_pch <= '9') || *m_pch == '_')
            {
                if (cch < k_cchMaxOperand)
                    rgchOperand[cch++] = *m_pch;
                ++m_pch;
            }
            rgchOperand[cch] = 0;
            return BEvaluateName(rgchOperand);
        }
        if (*m_pch >= '0' && *m_pch <= '9')
        {
            bool bNonZero = false;
            while (*m_pch >= '0' && *m_pch <= '9')
                bNonZero |= *m_pch++ != '0';
            return bNonZero;
        }
        BadToken();
        return false;
    }

    const char *m_pch;
    bool m_bError;
    int m_nDepth;
};
} // namespace

bool KeyValues::EvaluateConditional(const char *pchToken)
{
    const char *pchOpen = pchToken ? strchr(pchToken, '[') : nullptr;
    if (!pchOpen)
        return false;
    CConditionalExpression expression(pchOpen + 1);
    return expression.BEvaluate();
}

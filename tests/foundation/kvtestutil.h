// Helpers for the KeyValues tests: loading a text with its reports captured, writing a tree.
#pragma once

#include "foundation/keyvalues.h"
#include "foundation/utlbuffer.h"

#include "support/testsupport.h"

#include <string>
#include <vector>

// Loads a text into a new tree named "root" and keeps the result, the parser's error text
// and every assertion and message printed during the load.
class CLoadedText
{
public:
    explicit CLoadedText(const std::string &strText, const char *pchResource = "test.txt",
                         bool bEscapes = false)
    {
        m_pKV = new KeyValues("root");
        m_pKV->UsesEscapeSequences(bEscapes);
        CUtlBuffer buf(0, 0, CUtlBuffer::TEXT_BUFFER);
        buf.Put(strText.data(), (int)strText.size());
        CKeyValuesParser parser(pchResource, false);
        CSpewCapture capture;
        m_bOk = m_pKV->LoadFromBuffer(pchResource, buf, &parser);
        m_strErrors = parser.GetErrorText();
        m_cErrors = parser.GetErrorCount();
        m_vecSpew = capture.Texts();
    }
    ~CLoadedText() { m_pKV->DeleteThis(); }
    CLoadedText(const CLoadedText &) = delete;
    CLoadedText &operator=(const CLoadedText &) = delete;

    KeyValues *operator->() const { return m_pKV; }
    KeyValues *Get() const { return m_pKV; }
    bool BOk() const { return m_bOk; }
    const std::string &Errors() const { return m_strErrors; }
    int ErrorCount() const { return m_cErrors; }
    bool BSpewContains(const std::string &strPiece) const
    {
        for (const std::string &str : m_vecSpew)
        {
            if (str.find(strPiece) != std::string::npos)
                return true;
        }
        return false;
    }

private:
    KeyValues *m_pKV;
    bool m_bOk;
    std::string m_strErrors;
    int m_cErrors;
    std::vector<std::string> m_vecSpew;
};

// The text form of a node and, when asked, its peers.
inline std::string WrittenText(KeyValues *pKV, bool bWithPeers = true, int nFlags = 0)
{
    CUtlBuffer buf(0, 0, CUtlBuffer::TEXT_BUFFER);
    pKV->WriteAsText(buf, bWithPeers, nFlags);
    return std::string((const char *)buf.Base(), (size_t)buf.TellMaxPut());
}

// The names of a node's children, in order.
inline std::vector<std::string> ChildNames(KeyValues *pKV)
{
    std::vector<std::string> vec;
    for (KeyValues *pChild = pKV ? pKV->GetFirstSubKey() : nullptr; pChild; pChild = pChild->GetNextKey())
        vec.push_back(pChild->GetName());
    return vec;
}

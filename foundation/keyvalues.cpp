// KeyValues: nodes, navigation, comparison, copying and merging.
#include "foundation/keyvalues.h"

#include "foundation/dbg.h"

#include <cstdlib>
#include <cstring>
#include <string>

// Names are symbols, short strings live in the value field, children are a linked list.
static_assert(sizeof(KeyValues) <= 8 + 4 + 2 * sizeof(void *), "KeyValues nodes must stay small");

KeyValues::KeyValues(const char *pchName)
{
    Init(KeyValuesSystem()->GetSymbol(pchName, true));
}

KeyValues::KeyValues(HKeySymbol hNameSymbol)
{
    Init(hNameSymbol);
}

KeyValues::KeyValues(const char *pchName, const char *pchFirstKey, const char *pchFirstValue)
{
    Init(KeyValuesSystem()->GetSymbol(pchName, true));
    SetString(pchFirstKey, pchFirstValue);
}

KeyValues::KeyValues(const char *pchName, const char *pchFirstKey, int nFirstValue)
{
    Init(KeyValuesSystem()->GetSymbol(pchName, true));
    SetInt(pchFirstKey, nFirstValue);
}

KeyValues::KeyValues(const char *pchName, const char *pchFirstKey, const char *pchFirstValue,
                     const char *pchSecondKey, const char *pchSecondValue)
{
    Init(KeyValuesSystem()->GetSymbol(pchName, true));
    SetString(pchFirstKey, pchFirstValue);
    SetString(pchSecondKey, pchSecondValue);
}

void KeyValues::Init(HKeySymbol hName)
{
    m_ullValue = 0;
    m_unBits = (uint32)hName & k_unNameMask;
    m_pPeer = nullptr;
}

KeyValues::~KeyValues()
{
    FreeValue();
}

void KeyValues::DeleteThis()
{
    // Peers are freed one after the other, so a long list costs no stack.
    KeyValues *pNode = this;
    while (pNode)
    {
        KeyValues *pNext = pNode->m_pPeer;
        pNode->m_pPeer = nullptr;
        delete pNode;
        pNode = pNext;
    }
}

void KeyValues::FreeValue()
{
    switch (GetDataType())
    {
    case TYPE_NONE:
        if (m_pSub)
            m_pSub->DeleteThis();
        break;
    case TYPE_STRING:
        if (BValueOnHeap())
            free(m_pszValue);
        break;
    case TYPE_WSTRING:
        if (BValueOnHeap())
            free(m_pwszValue);
        break;
    case TYPE_BINARY:
        free(m_pubBinary);
        break;
    default:
        break;
    }
    m_ullValue = 0;
    m_unBits &= ~k_unHeapBit;
    SetDataType(TYPE_NONE);
}

void KeyValues::Clear()
{
    FreeValue();
}

const char *KeyValues::GetName() const
{
    return KeyValuesSystem()->GetNameForSymbol(GetNameSymbol());
}

void KeyValues::SetName(const char *pchName)
{
    HKeySymbol hSymbol = KeyValuesSystem()->GetSymbol(pchName, true);
    m_unBits = (m_unBits & ~k_unNameMask) | ((uint32)hSymbol & k_unNameMask);
}

void KeyValues::UsesEscapeSequences(bool bUses)
{
    if (bUses)
        m_unBits |= k_unEscapeBit;
    else
        m_unBits &= ~k_unEscapeBit;
}

KeyValues *KeyValues::GetFirstSubKey() const
{
    return GetDataType() == TYPE_NONE ? m_pSub : nullptr;
}

KeyValues *KeyValues::GetFirstTrueSubKey() const
{
    KeyValues *pChild = GetFirstSubKey();
    while (pChild && pChild->GetDataType() != TYPE_NONE)
        pChild = pChild->m_pPeer;
    return pChild;
}

KeyValues *KeyValues::GetNextTrueSubKey() const
{
    KeyValues *pPeer = m_pPeer;
    while (pPeer && pPeer->GetDataType() != TYPE_NONE)
        pPeer = pPeer->m_pPeer;
    return pPeer;
}

KeyValues *KeyValues::GetFirstValue() const
{
    KeyValues *pChild = GetFirstSubKey();
    while (pChild && pChild->GetDataType() == TYPE_NONE)
        pChild = pChild->m_pPeer;
    return pChild;
}

KeyValues *KeyValues::GetNextValue() const
{
    KeyValues *pPeer = m_pPeer;
    while (pPeer && pPeer->GetDataType() == TYPE_NONE)
        pPeer = pPeer->m_pPeer;
    return pPeer;
}

KeyValues *KeyValues::FindKey(HKeySymbol hKeySymbol) const
{
    for (KeyValues *pChild = GetFirstSubKey(); pChild; pChild = pChild->m_pPeer)
    {
        if (pChild->GetNameSymbol() == hKeySymbol)
            return pChild;
    }
    return nullptr;
}

KeyValues *KeyValues::FindKey(const char *pchKeyPath, bool bCreate)
{
    if (!pchKeyPath || !*pchKeyPath)
        return this;
    KeyValues *pNode = this;
    std::string strPart;
    const char *pch = pchKeyPath;
    while (*pch)
    {
        const char *pchSlash = strchr(pch, '/');
        size_t cchPart = pchSlash ? (size_t)(pchSlash - pch) : strlen(pch);
        // "a//b" and a trailing slash name no extra level.
        if (cchPart > 0)
        {
            strPart.assign(pch, cchPart);
            HKeySymbol hSymbol = KeyValuesSystem()->GetSymbol(strPart.c_str(), bCreate);
            if (!hSymbol && !bCreate)
                return nullptr;
            KeyValues *pChild = pNode->FindKey(hSymbol);
            if (!pChild)
            {
                if (!bCreate)
                    return nullptr;
                pChild = pNode->CreateKey(strPart.c_str());
            }
            pNode = pChild;
        }
        pch += cchPart;
        if (*pch == '/')
            ++pch;
    }
    return pNode;
}

KeyValues *KeyValues::CreateKey(const char *pchName)
{
    KeyValues *pChild = new KeyValues(pchName);
    pChild->UsesEscapeSequences(HasEscapeSequences());
    AddSubKey(pChild);
    return pChild;
}

void KeyValues::AddSubKey(KeyValues *pSubKey)
{
    if (!pSubKey)
        return;
    if (GetDataType() != TYPE_NONE)
        FreeValue();
    if (!m_pSub)
    {
        m_pSub = pSubKey;
        return;
    }
    KeyValues *pTail = m_pSub;
    while (pTail->m_pPeer)
        pTail = pTail->m_pPeer;
    pTail->m_pPeer = pSubKey;
}

void KeyValues::RemoveSubKey(KeyValues *pSubKey)
{
    if (!pSubKey || GetDataType() != TYPE_NONE)
        return;
    if (m_pSub == pSubKey)
    {
        m_pSub = pSubKey->m_pPeer;
    }
    else
    {
        KeyValues *pPrev = m_pSub;
        while (pPrev && pPrev->m_pPeer != pSubKey)
            pPrev = pPrev->m_pPeer;
        if (!pPrev)
            return;
        pPrev->m_pPeer = pSubKey->m_pPeer;
    }
    pSubKey->m_pPeer = nullptr;
}

void KeyValues::AppendChild(KeyValues *pChild, KeyValues *&pTail)
{
    if (pTail)
        pTail->m_pPeer = pChild;
    else
        m_pSub = pChild;
    pTail = pChild;
}

bool KeyValues::IsEqual(const KeyValues *pOther) const
{
    if (!pOther)
        return false;
    if (pOther == this)
        return true;
    if (GetDataType() != pOther->GetDataType())
        return false;
    switch (GetDataType())
    {
    case TYPE_NONE:
    {
        const KeyValues *pA = m_pSub;
        const KeyValues *pB = pOther->m_pSub;
        for (; pA && pB; pA = pA->m_pPeer, pB = pB->m_pPeer)
        {
            if (pA->GetNameSymbol() != pB->GetNameSymbol() || !pA->IsEqual(pB))
                return false;
        }
        return !pA && !pB;
    }
    case TYPE_STRING:
    {
        const char *pchA = BValueOnHeap() ? m_pszValue : m_rgchValue;
        const char *pchB = pOther->BValueOnHeap() ? pOther->m_pszValue : pOther->m_rgchValue;
        return strcmp(pchA, pchB) == 0;
    }
    case TYPE_WSTRING:
    {
        const wchar16 *pwchA = BValueOnHeap() ? m_pwszValue : m_rgwchValue;
        const wchar16 *pwchB = pOther->BValueOnHeap() ? pOther->m_pwszValue : pOther->m_rgwchValue;
        for (; *pwchA && *pwchA == *pwchB; ++pwchA, ++pwchB)
        {
        }
        return *pwchA == *pwchB;
    }
    case TYPE_INT:
        return m_nValue == pOther->m_nValue;
    case TYPE_PTR:
        return m_pValue == pOther->m_pValue;
    case TYPE_FLOAT:
        return m_flValue == pOther->m_flValue;
    case TYPE_UINT64:
        return m_ullValue == pOther->m_ullValue;
    default:
        AssertFailed("false");
        return true;
    }
}

// The new value is built before the old one is freed, so src may live inside this node.
void KeyValues::CopyValueFrom(const KeyValues &src)
{
    switch (src.GetDataType())
    {
    case TYPE_NONE:
    {
        KeyValues *pHead = nullptr;
        KeyValues *pTail = nullptr;
        for (const KeyValues *pChild = src.m_pSub; pChild; pChild = pChild->m_pPeer)
        {
            KeyValues *pCopy = pChild->MakeCopy();
            if (pTail)
                pTail->m_pPeer = pCopy;
            else
                pHead = pCopy;
            pTail = pCopy;
        }
        FreeValue();
        m_pSub = pHead;
        break;
    }
    case TYPE_STRING:
        SetStringValue(src.BValueOnHeap() ? src.m_pszValue : src.m_rgchValue);
        break;
    case TYPE_WSTRING:
        SetWStringValue(src.BValueOnHeap() ? src.m_pwszValue : src.m_rgwchValue);
        break;
    case TYPE_BINARY:
    {
        uint32 cub;
        memcpy(&cub, src.m_pubBinary, sizeof(cub));
        uint8 *pubCopy = (uint8 *)malloc(sizeof(cub) + cub + 1);
        if (!pubCopy)
            break;
        memcpy(pubCopy, src.m_pubBinary, sizeof(cub) + cub + 1);
        FreeValue();
        m_pubBinary = pubCopy;
        SetDataType(TYPE_BINARY);
        break;
    }
    default:
    {
        uint64 ullValue = src.m_ullValue;
        types_t eType = src.GetDataType();
        FreeValue();
        m_ullValue = ullValue;
        SetDataType(eType);
        break;
    }
    }
}

void KeyValues::CopyFrom(const KeyValues &src)
{
    if (&src == this)
        return;
    CopyValueFrom(src);
}

KeyValues *KeyValues::MakeCopy() const
{
    KeyValues *pCopy = new KeyValues(GetNameSymbol());
    pCopy->UsesEscapeSequences(HasEscapeSequences());
    pCopy->CopyValueFrom(*this);
    return pCopy;
}

void KeyValues::MergeFrom(const KeyValues *pOther)
{
    if (!pOther || pOther == this)
        return;
    for (KeyValues *pValue = pOther->GetFirstValue(); pValue; pValue = pValue->GetNextValue())
    {
        KeyValues *pMine = FindKey(pValue->GetNameSymbol());
        if (!pMine)
            AddSubKey(pValue->MakeCopy());
        else if (!pMine->IsEqual(pValue))
            pMine->CopyValueFrom(*pValue);
    }
    for (KeyValues *pSection = pOther->GetFirstTrueSubKey(); pSection;
         pSection = pSection->GetNextTrueSubKey())
    {
        KeyValues *pMine = FindKey(pSection->GetNameSymbol());
        if (pMine && pMine->GetDataType() == TYPE_NONE)
        {
            pMine->MergeFrom(pSection);
            continue;
        }
        if (pMine)
        {
            RemoveSubKey(pMine);
            pMine->DeleteThis();
        }
        AddSubKey(pSection->MakeCopy());
    }
}

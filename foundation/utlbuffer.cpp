// CUtlBuffer: memory, positions and the binary reads and writes.
#include "foundation/utlbuffer.h"

#include "foundation/dbg.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace
{
// Smallest block of owned memory, so that a buffer filled a byte at a time does not
// reallocate for every byte.
const int k_cubMinAllocation = 64;
} // namespace

CUtlBuffer::CUtlBuffer(int nGrowSize, int nInitSize, int nFlags)
    : m_pMemory(nullptr), m_nAllocated(0), m_nGrowSize(nGrowSize > 0 ? nGrowSize : 0),
      m_bExternalMemory(false), m_nGet(0), m_nPut(0), m_nMaxPut(0), m_nError(0),
      m_nFlags((unsigned char)(nFlags & ~READ_ONLY)), m_nTab(0), m_pfnGetOverflow(&CUtlBuffer::GetOverflow),
      m_pfnPutOverflow(&CUtlBuffer::PutOverflow)
{
    if (nInitSize > 0 && BGrowTo(nInitSize) && IsText())
        m_pMemory[0] = 0;
}

CUtlBuffer::CUtlBuffer(const void *pMemory, int nSize, int nFlags)
    : m_pMemory(nullptr), m_nAllocated(0), m_nGrowSize(0), m_bExternalMemory(false), m_nGet(0), m_nPut(0),
      m_nMaxPut(0), m_nError(0), m_nFlags(0), m_nTab(0), m_pfnGetOverflow(&CUtlBuffer::GetOverflow),
      m_pfnPutOverflow(&CUtlBuffer::PutOverflow)
{
    Assert(nSize != 0);
    SetExternalBuffer(const_cast<void *>(pMemory), nSize, (nFlags & READ_ONLY) ? nSize : 0, nFlags);
}

CUtlBuffer::~CUtlBuffer()
{
    if (!m_bExternalMemory)
        free(m_pMemory);
}

void CUtlBuffer::SetExternalBuffer(void *pMemory, int nSize, int nInitialPut, int nFlags)
{
    if (!m_bExternalMemory)
        free(m_pMemory);
    m_pMemory = (unsigned char *)pMemory;
    m_nAllocated = (pMemory && nSize > 0) ? nSize : 0;
    m_bExternalMemory = true;
    m_nFlags = (unsigned char)nFlags;
    m_nError = 0;
    m_nGet = 0;
    m_nPut = nInitialPut < 0 ? 0 : (nInitialPut > m_nAllocated ? m_nAllocated : nInitialPut);
    m_nMaxPut = m_nPut;
    if (!IsReadOnly())
        TerminateText();
}

void CUtlBuffer::Purge()
{
    if (!m_bExternalMemory)
        free(m_pMemory);
    m_pMemory = nullptr;
    m_nAllocated = 0;
    m_bExternalMemory = false;
    m_nFlags &= ~READ_ONLY;
    m_nGet = m_nPut = m_nMaxPut = 0;
    m_nError = 0;
}

void CUtlBuffer::Clear()
{
    m_nGet = 0;
    m_nError = 0;
    if (IsReadOnly())
        return;
    m_nPut = m_nMaxPut = 0;
    TerminateText();
}

bool CUtlBuffer::EnsureCapacity(int nSize)
{
    if (nSize <= m_nAllocated)
        return true;
    if (m_bExternalMemory && !(m_nFlags & EXTERNAL_GROWABLE))
        return false;
    return BGrowTo(nSize);
}

// Owned memory grows to at least nSize bytes: to twice its size at least (so filling a
// buffer is linear), rounded up to the grow step. External memory that may grow is first
// copied into owned memory.
bool CUtlBuffer::BGrowTo(int nSize)
{
    if (nSize <= m_nAllocated)
        return true;
    if (m_bExternalMemory && (IsReadOnly() || !(m_nFlags & EXTERNAL_GROWABLE)))
        return false;
    int64 cubNew = (int64)m_nAllocated * 2;
    if (cubNew < nSize)
        cubNew = nSize;
    if (cubNew < k_cubMinAllocation)
        cubNew = k_cubMinAllocation;
    if (m_nGrowSize > 0)
        cubNew = (cubNew + m_nGrowSize - 1) / m_nGrowSize * m_nGrowSize;
    if (cubNew > INT_MAX)
        cubNew = INT_MAX;
    unsigned char *pNew;
    if (m_bExternalMemory)
    {
        pNew = (unsigned char *)malloc((size_t)cubNew);
        if (pNew && m_nMaxPut > 0)
            memcpy(pNew, m_pMemory, (size_t)m_nMaxPut);
    }
    else
    {
        pNew = (unsigned char *)realloc(m_pMemory, (size_t)cubNew);
    }
    if (!pNew)
        return false;
    m_pMemory = pNew;
    m_nAllocated = (int)cubNew;
    m_bExternalMemory = false;
    m_nFlags &= ~EXTERNAL_GROWABLE;
    return true;
}

void CUtlBuffer::SetBufferType(bool bIsText, bool bContainsCRLF)
{
    m_nFlags = (unsigned char)((m_nFlags & ~(TEXT_BUFFER | CONTAINS_CRLF)) | (bIsText ? TEXT_BUFFER : 0) |
                               (bIsText && bContainsCRLF ? CONTAINS_CRLF : 0));
    if (!IsReadOnly())
        TerminateText();
}

void CUtlBuffer::SetOverflowFuncs(UtlBufferOverflowFunc_t pfnGet, UtlBufferOverflowFunc_t pfnPut)
{
    m_pfnGetOverflow = pfnGet;
    m_pfnPutOverflow = pfnPut;
}

// There is never more data than was put.
bool CUtlBuffer::GetOverflow(int)
{
    return false;
}

bool CUtlBuffer::PutOverflow(int nSize)
{
    if (IsReadOnly())
        return false;
    int64 cubNeeded = (int64)m_nPut + nSize;
    // Owned text keeps room for the NUL after the data.
    if (IsText() && (!m_bExternalMemory || (m_nFlags & EXTERNAL_GROWABLE)))
        ++cubNeeded;
    if (cubNeeded > INT_MAX)
        return false;
    return BGrowTo((int)cubNeeded);
}

bool CUtlBuffer::CheckGet(int nSize)
{
    if (m_nError & GET_OVERFLOW)
        return false;
    if (nSize < 0 || (int64)m_nGet + nSize > m_nMaxPut)
    {
        if (nSize < 0 || !(this->*m_pfnGetOverflow)(nSize) || (int64)m_nGet + nSize > m_nMaxPut)
        {
            m_nError |= GET_OVERFLOW;
            return false;
        }
    }
    return true;
}

bool CUtlBuffer::CheckPeekGet(int nOffset, int nSize)
{
    if (m_nError & GET_OVERFLOW)
        return false;
    if (nOffset < 0 || nSize < 0)
        return false;
    if ((int64)m_nGet + nOffset + nSize <= m_nMaxPut)
        return true;
    // The hook may bring more data; a peek that still finds none sets no error.
    bool bOk = CheckGet(nOffset + nSize);
    m_nError &= ~GET_OVERFLOW;
    return bOk;
}

bool CUtlBuffer::CheckPut(int nSize)
{
    if (m_nError & PUT_OVERFLOW)
        return false;
    if (IsReadOnly() || nSize < 0)
    {
        m_nError |= PUT_OVERFLOW;
        return false;
    }
    int64 cubEnd = (int64)m_nPut + nSize;
    bool bOwnedText = IsText() && !m_bExternalMemory;
    if (cubEnd + (bOwnedText ? 1 : 0) > m_nAllocated)
    {
        if (!(this->*m_pfnPutOverflow)(nSize) || cubEnd > m_nAllocated)
        {
            m_nError |= PUT_OVERFLOW;
            return false;
        }
    }
    return true;
}

void CUtlBuffer::TerminateText()
{
    if (IsText() && m_pMemory && m_nMaxPut < m_nAllocated)
        m_pMemory[m_nMaxPut] = 0;
}

bool CUtlBuffer::SeekGet(SeekType_t eType, int nOffset)
{
    int64 nPos = eType == SEEK_HEAD
                     ? nOffset
                     : (eType == SEEK_CURRENT ? (int64)m_nGet + nOffset : (int64)m_nMaxPut - nOffset);
    if (nPos < 0 || nPos > m_nMaxPut)
    {
        m_nError |= GET_OVERFLOW;
        return false;
    }
    m_nGet = (int)nPos;
    m_nError &= ~GET_OVERFLOW;
    return true;
}

bool CUtlBuffer::SeekPut(SeekType_t eType, int nOffset)
{
    int64 nPos = eType == SEEK_HEAD
                     ? nOffset
                     : (eType == SEEK_CURRENT ? (int64)m_nPut + nOffset : (int64)m_nMaxPut - nOffset);
    if (nPos < 0 || nPos > INT_MAX || IsReadOnly())
        return false;
    if (nPos > m_nMaxPut)
    {
        int nOldPut = m_nPut;
        m_nPut = m_nMaxPut;
        if (!CheckPut((int)(nPos - m_nMaxPut)))
        {
            m_nPut = nOldPut;
            return false;
        }
        m_nMaxPut = (int)nPos;
    }
    m_nPut = (int)nPos;
    TerminateText();
    return true;
}

void CUtlBuffer::PutRaw(const void *pMem, int nSize)
{
    if (nSize > 0)
        memcpy(m_pMemory + m_nPut, pMem, (size_t)nSize);
    m_nPut += nSize;
    if (m_nPut > m_nMaxPut)
        m_nMaxPut = m_nPut;
}

void CUtlBuffer::Put(const void *pMem, int nSize)
{
    if (nSize <= 0 || !CheckPut(nSize))
        return;
    PutRaw(pMem, nSize);
    TerminateText();
}

template <class T>
void CUtlBuffer::PutBinary(T value)
{
    unsigned char rgub[sizeof(T)];
    memcpy(rgub, &value, sizeof(T));
    if (m_nFlags & BYTESWAP)
    {
        for (size_t i = 0; i < sizeof(T) / 2; ++i)
        {
            unsigned char ub = rgub[i];
            rgub[i] = rgub[sizeof(T) - 1 - i];
            rgub[sizeof(T) - 1 - i] = ub;
        }
    }
    Put(rgub, (int)sizeof(T));
}

template <class T>
T CUtlBuffer::GetBinary()
{
    unsigned char rgub[sizeof(T)];
    T value{};
    if (!Get(rgub, (int)sizeof(T)))
        return value;
    if (m_nFlags & BYTESWAP)
    {
        for (size_t i = 0; i < sizeof(T) / 2; ++i)
        {
            unsigned char ub = rgub[i];
            rgub[i] = rgub[sizeof(T) - 1 - i];
            rgub[sizeof(T) - 1 - i] = ub;
        }
    }
    memcpy(&value, rgub, sizeof(T));
    return value;
}

void CUtlBuffer::PutUnsignedChar(unsigned char uch)
{
    if (IsText())
        Printf("%u", (unsigned)uch);
    else
        Put(&uch, 1);
}

void CUtlBuffer::PutShort(int16 n)
{
    if (IsText())
        Printf("%d", (int)n);
    else
        PutBinary(n);
}

void CUtlBuffer::PutUnsignedShort(uint16 un)
{
    if (IsText())
        Printf("%u", (unsigned)un);
    else
        PutBinary(un);
}

void CUtlBuffer::PutInt(int32 n)
{
    if (IsText())
        Printf("%d", (int)n);
    else
        PutBinary(n);
}

void CUtlBuffer::PutUnsignedInt(uint32 un)
{
    if (IsText())
        Printf("%u", (unsigned)un);
    else
        PutBinary(un);
}

void CUtlBuffer::PutInt64(int64 n)
{
    if (IsText())
        Printf("%lld", (long long)n);
    else
        PutBinary(n);
}

void CUtlBuffer::PutUint64(uint64 un)
{
    if (IsText())
        Printf("%llu", (unsigned long long)un);
    else
        PutBinary(un);
}

void CUtlBuffer::PutFloat(float fl)
{
    if (IsText())
        Printf("%f", (double)fl);
    else
        PutBinary(fl);
}

void CUtlBuffer::PutDouble(double dbl)
{
    if (IsText())
        Printf("%f", dbl);
    else
        PutBinary(dbl);
}

bool CUtlBuffer::Get(void *pMem, int nSize)
{
    if (nSize <= 0)
        return nSize == 0;
    if (!CheckGet(nSize))
        return false;
    memcpy(pMem, m_pMemory + m_nGet, (size_t)nSize);
    m_nGet += nSize;
    return true;
}

const void *CUtlBuffer::PeekGet(int nSize, int nOffset)
{
    if (!CheckPeekGet(nOffset, nSize) || !m_pMemory)
        return nullptr;
    return m_pMemory + m_nGet + nOffset;
}

char CUtlBuffer::GetChar()
{
    char ch = 0;
    if (IsText())
        Scanf("%c", &ch);
    else
        Get(&ch, 1);
    return ch;
}

unsigned char CUtlBuffer::GetUnsignedChar()
{
    unsigned char uch = 0;
    if (IsText())
    {
        unsigned int un = 0;
        Scanf("%u", &un);
        uch = (unsigned char)un;
    }
    else
    {
        Get(&uch, 1);
    }
    return uch;
}

int16 CUtlBuffer::GetShort()
{
    if (!IsText())
        return GetBinary<int16>();
    short n = 0;
    Scanf("%hd", &n);
    return n;
}

uint16 CUtlBuffer::GetUnsignedShort()
{
    if (!IsText())
        return GetBinary<uint16>();
    unsigned short un = 0;
    Scanf("%hu", &un);
    return un;
}

int32 CUtlBuffer::GetInt()
{
    if (!IsText())
        return GetBinary<int32>();
    int n = 0;
    Scanf("%d", &n);
    return n;
}

uint32 CUtlBuffer::GetUnsignedInt()
{
    if (!IsText())
        return GetBinary<uint32>();
    unsigned int un = 0;
    Scanf("%u", &un);
    return un;
}

int64 CUtlBuffer::GetInt64()
{
    if (!IsText())
        return GetBinary<int64>();
    long long n = 0;
    Scanf("%lld", &n);
    return n;
}

uint64 CUtlBuffer::GetUint64()
{
    if (!IsText())
        return GetBinary<uint64>();
    unsigned long long un = 0;
    Scanf("%llu", &un);
    return un;
}

float CUtlBuffer::GetFloat()
{
    if (!IsText())
        return GetBinary<float>();
    float fl = 0;
    Scanf("%f", &fl);
    return fl;
}

double CUtlBuffer::GetDouble()
{
    if (!IsText())
        return GetBinary<double>();
    double dbl = 0;
    Scanf("%lf", &dbl);
    return dbl;
}

const char *CUtlBuffer::GetStringFast()
{
    if (IsText())
    {
        AssertFailed("CUtlBuffer::GetStringFast: binary buffers only");
        return "";
    }
    if (!IsValid() || m_nGet >= m_nMaxPut)
    {
        m_nError |= GET_OVERFLOW;
        return "";
    }
    const char *pch = (const char *)m_pMemory + m_nGet;
    const void *pNul = memchr(pch, 0, (size_t)(m_nMaxPut - m_nGet));
    if (!pNul)
    {
        AssertFailed("CUtlBuffer::GetStringFast: no string termination");
        m_nError |= GET_OVERFLOW;
        return "";
    }
    m_nGet += (int)((const char *)pNul - pch) + 1;
    return pch;
}

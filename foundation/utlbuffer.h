// CUtlBuffer: a growable byte buffer with separate read (get) and write (put) positions.
//
// Binary mode holds raw bytes (strings with their NUL, numbers as little-endian bytes);
// text mode holds readable text (strings end at white space or at a delimiter, numbers are
// decimal). Failures never throw: they set sticky error bits that the caller checks after
// a sequence of calls (IsValid, GetError). While an error bit is set the text helpers do
// nothing and the string readers return empty strings.
//
// In text mode the buffer keeps a NUL just after the data whenever its memory allows, so
// Base() can be used as a C string; the NUL is not part of the data (TellMaxPut).
//
// A buffer is not synchronized: one thread uses it at a time.
#pragma once

#include "foundation/basetypes.h"

#include <cstdarg>

// Escape sequences of delimited strings: an escape character followed by a replacement
// text stands for one actual character ("\\" "n" for a line feed).
class CUtlCharConversion
{
public:
    struct ConversionArray_t
    {
        char m_chActualChar;
        const char *m_pchReplacementString;
    };

    // The array must outlive the conversion. nEscapeChar 0 means no escapes.
    CUtlCharConversion(char chEscapeChar, const char *pchDelimiter, int nCount,
                       const ConversionArray_t *pArray);

    char GetEscapeChar() const { return m_chEscapeChar; }
    const char *GetDelimiter() const { return m_pchDelimiter; }
    int GetDelimiterLength() const { return m_nDelimiterLength; }

    // The replacement text of an actual character, or null when it is written as it is.
    const char *GetConversionString(char ch) const { return m_rgpchReplacement[(unsigned char)ch]; }

    // The actual character whose replacement text starts at pch (at most cch bytes are
    // looked at); *pnLength receives the length of that text, 0 when none matches.
    char FindConversion(const char *pch, int cch, int *pnLength) const;

private:
    char m_chEscapeChar;
    const char *m_pchDelimiter;
    int m_nDelimiterLength;
    int m_nCount;
    const ConversionArray_t *m_pArray;
    int m_nMaxConversionLength;
    const char *m_rgpchReplacement[256];
    int m_rgnReplacementLength[256];
};

// C strings: delimiter '"', escape '\\' with n t v b r f a \ ? ' and the double quote.
CUtlCharConversion *GetCStringCharConversion();
// Delimiter '"' and no escapes: the text runs to the next double quote.
CUtlCharConversion *GetNoEscCharConversion();

class CUtlBuffer
{
public:
    enum SeekType_t
    {
        SEEK_HEAD = 0,
        SEEK_CURRENT = 1,
        SEEK_TAIL = 2, // the offset is subtracted from the end of the data
    };

    enum BufferFlags_t
    {
        TEXT_BUFFER = 0x01,        // text mode
        EXTERNAL_GROWABLE = 0x02,  // external memory is replaced by an owned copy when more room is needed
        CONTAINS_CRLF = 0x04,      // the text has CR LF line ends
        READ_ONLY = 0x08,          // nothing can be put; the whole external memory is data
        AUTO_TABS_DISABLED = 0x10, // PushTab levels are not written after line feeds
        BYTESWAP = 0x20,           // binary numbers are stored big-endian
    };

    enum ErrorFlags_t
    {
        PUT_OVERFLOW = 0x01, // a write could not obtain room
        GET_OVERFLOW = 0x02, // a read went past the data
    };

    // Hooks: the get hook is asked to make nSize more bytes readable, the put hook to make
    // room for nSize more bytes at the put position. Both return whether they succeeded.
    typedef bool (CUtlBuffer::*UtlBufferOverflowFunc_t)(int nSize);

    // Owned memory growing by nGrowSize bytes at least (0: doubling), with nInitSize
    // bytes reserved. In text mode with an initial size a NUL is placed at the start.
    CUtlBuffer(int nGrowSize = 0, int nInitSize = 0, int nFlags = 0);
    // External memory owned by the caller (nSize must not be 0). READ_ONLY: all nSize
    // bytes are data. Otherwise the buffer starts empty over that memory.
    CUtlBuffer(const void *pMemory, int nSize, int nFlags = 0);
    ~CUtlBuffer();

    CUtlBuffer(const CUtlBuffer &) = delete;
    CUtlBuffer &operator=(const CUtlBuffer &) = delete;

    // Replaces the memory by external memory, as the second constructor.
    void SetExternalBuffer(void *pMemory, int nSize, int nInitialPut, int nFlags = 0);
    // Resets the positions and error bits and frees owned memory.
    void Purge();
    // Resets the positions and error bits, keeping the memory.
    void Clear();
    // Room for nSize bytes in all; external memory with EXTERNAL_GROWABLE is first copied
    // into owned memory. False when the room cannot be had.
    bool EnsureCapacity(int nSize);

    void SetBufferType(bool bIsText, bool bContainsCRLF);
    int GetFlags() const { return m_nFlags; }
    bool IsText() const { return (m_nFlags & TEXT_BUFFER) != 0; }
    bool IsReadOnly() const { return (m_nFlags & READ_ONLY) != 0; }
    bool IsExternallyAllocated() const { return m_bExternalMemory; }
    bool ContainsCRLF() const { return IsText() && (m_nFlags & CONTAINS_CRLF) != 0; }

    int GetError() const { return m_nError; }
    bool IsValid() const { return m_nError == 0; }
    void ClearError(int nErrorBits) { m_nError &= ~nErrorBits; }

    // ---- memory and positions ----
    void *Base() { return m_pMemory; }
    const void *Base() const { return m_pMemory; }
    int Size() const { return m_nAllocated; } // bytes of memory, not of data
    int TellGet() const { return m_nGet; }
    int TellPut() const { return m_nPut; }
    int TellMaxPut() const { return m_nMaxPut; } // end of the data
    int GetBytesRemaining() const { return m_nMaxPut - m_nGet; }
    // Beyond the data: sets GET_OVERFLOW and returns false; otherwise clears it.
    bool SeekGet(SeekType_t eType, int nOffset);
    // Beyond the data the data is extended (in text mode with a NUL after it); the bytes
    // gained are whatever the memory holds, so a caller fills Base() first and then seeks.
    bool SeekPut(SeekType_t eType, int nOffset);

    // ---- writing (nothing when PUT_OVERFLOW is set or the buffer is read-only) ----
    void Put(const void *pMem, int nSize);
    void PutChar(char ch);
    void PutUnsignedChar(unsigned char uch);
    void PutShort(int16 n);
    void PutUnsignedShort(uint16 un);
    void PutInt(int32 n);
    void PutUnsignedInt(uint32 un);
    void PutInt64(int64 n);
    void PutUint64(uint64 un);
    void PutFloat(float fl);
    void PutDouble(double dbl);
    // Text mode: the characters without a terminator. Binary: with the NUL (null: one NUL).
    void PutString(const char *pch);
    // Formatted text (text mode); in binary mode the formatted text with its NUL.
    void Printf(const char *pchFormat, ...) FERRO_PRINTF(2, 3);
    void VaPrintf(const char *pchFormat, va_list args);
    // Indentation written after every line feed put in text mode (unless AUTO_TABS_DISABLED).
    void PushTab();
    void PopTab();

    // ---- reading ----
    // Fewer than nSize bytes left: sets GET_OVERFLOW and returns false without moving.
    bool Get(void *pMem, int nSize);
    // nSize readable bytes at get + nOffset, or null; never moves, never sets an error.
    const void *PeekGet(int nSize = 0, int nOffset = 0);
    char GetChar();
    unsigned char GetUnsignedChar();
    int16 GetShort();
    uint16 GetUnsignedShort();
    int32 GetInt();
    uint32 GetUnsignedInt();
    int64 GetInt64();
    uint64 GetUint64();
    float GetFloat();
    double GetDouble();
    // Text: skips white space, then reads to the next white space. Binary: up to and
    // including the NUL. A longer string is cut to nMaxChars - 1 characters (the rest is
    // consumed) and false is returned. Nothing left to read sets GET_OVERFLOW.
    bool GetString(char *pchOut, int nMaxChars);
    // Binary buffers only: the string at the get position, in place; moves past its NUL.
    const char *GetStringFast();
    // Text: skips white space, requires the delimiter of pConv at the get position (else
    // reads nothing), reads up to the next delimiter translating escapes, keeps at most
    // nMaxChars - 1 characters (the rest is consumed) and consumes the closing delimiter.
    // Binary mode or no conversion: GetString.
    void GetDelimitedString(const CUtlCharConversion *pConv, char *pchOut, int nMaxChars);
    // Formatted reading of %c %d %i %u %x %f %s (with the length modifiers h, l and ll;
    // %s needs a width, "%63s" for a 64-byte buffer). Returns the number of conversions made.
    int Scanf(const char *pchFormat, ...);
    int VaScanf(const char *pchFormat, va_list args);

    // ---- text helpers (text mode; nothing while an error bit is set) ----
    void EatWhiteSpace();
    // "//" at the get position: moves past the next line feed (or to the end); true.
    bool EatCPPComment();
    // White-space bytes from get + nOffset.
    int PeekWhiteSpace(int nOffset);
    // Length of the next string plus one (text: up to white space; binary: up to the NUL);
    // 0 when nothing is left.
    int PeekStringLength();
    // Whether the cch bytes at get + nOffset equal pch.
    bool PeekStringMatch(int nOffset, const char *pch, int cch);
    // Text: reads a line with its line feed, keeping at most nMaxChars - 1 characters (the
    // rest of the line is consumed). False when nothing is left.
    bool GetLine(char *pchOut, int nMaxChars);

protected:
    // The default hooks.
    bool GetOverflow(int nSize);
    bool PutOverflow(int nSize);
    void SetOverflowFuncs(UtlBufferOverflowFunc_t pfnGet, UtlBufferOverflowFunc_t pfnPut);

    // Whether nSize more bytes can be read (asks the get hook); sets GET_OVERFLOW when not.
    bool CheckGet(int nSize);
    bool CheckPeekGet(int nOffset, int nSize);
    // Whether nSize bytes can be put at the put position (asks the put hook); sets
    // PUT_OVERFLOW when not.
    bool CheckPut(int nSize);
    // After a write in text mode: the NUL after the data, when the memory has room.
    void TerminateText();
    // Copies bytes at the put position and advances it (room already checked).
    void PutRaw(const void *pMem, int nSize);
    template <class T>
    void PutBinary(T value);
    template <class T>
    T GetBinary();
    bool BGrowTo(int nSize);

private:
    // The formatted reader's parts: white space skipped, one conversion made into the next
    // target of *pArgs (nSize: the length modifier), and the number of an integer or a
    // float conversion read. False at a mismatch (GET_OVERFLOW when the data ran out).
    void SkipScanSpace();
    bool BScanConversion(char chConversion, int nWidth, int nSize, va_list *pArgs);
    bool BScanInteger(char chConversion, uint64 *punValue);
    bool BScanFloat(double *pdbl);

    unsigned char *m_pMemory;
    int m_nAllocated;
    int m_nGrowSize;
    bool m_bExternalMemory;
    int m_nGet;
    int m_nPut;
    int m_nMaxPut;
    unsigned char m_nError;
    unsigned char m_nFlags;
    unsigned char m_nTab;
    UtlBufferOverflowFunc_t m_pfnGetOverflow;
    UtlBufferOverflowFunc_t m_pfnPutOverflow;
};

// Reads a whole file (opened with PLAT_fopen) into the buffer, which is cleared and set to
// text mode (and CR LF) when bText. The data ends with a NUL that is not counted. False
// when the file cannot be opened or read completely, or the buffer cannot hold it.
bool LoadFileIntoBuffer(const char *pchFileName, CUtlBuffer &buf, bool bText);

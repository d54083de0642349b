// KeyValues: a tree of named values and its text format.
//
// A node has a name and either a value (string, integer, float, pointer, UTF-16 string,
// color, 64-bit integer, binary) or children (then it is a section). Children form a
// singly linked list in insertion order; duplicate names are allowed and keep their order,
// and lookups return the first match. Names are interned process-wide and compared
// without regard to ASCII case (keyvaluessystem.h); the spelling first interned is the
// one that GetName returns and the writer writes.
//
// Ownership: whoever creates a tree owns it and destroys it with DeleteThis, which frees
// the node, its children and every peer after it. To destroy one child, unlink it first
// (RemoveSubKey). CKeyValuesAutoDelete does this at the end of a scope.
//
// A tree is not synchronized: one thread uses it at a time. Text loading evaluates
// conditionals with process-wide state and must run on one thread at a time.
//
// The text format:
//     "manifest"                  // a comment runs to the end of the line
//     {
//         "version"   "42"
//         "core"      { "file" "core.zip.<sha1>"  "size" "1234" }
//         "k"         "only on Linux"  [$LINUX]
//     }
#pragma once

#include "foundation/basetypes.h"
#include "foundation/keyvaluessystem.h"
#include "foundation/utlstring.h"

class CUtlBuffer;

// Outcome of GetInt and GetUint64.
enum EKVConversionStatus
{
    k_EKVConversionSuccess = 0,    // the value converted completely
    k_EKVConversionNoKey = 1,      // no such key: the default was returned
    k_EKVConversionNotNumeric = 2, // the text was empty or not entirely a number
};

// The state of one text load: the key path for error reports, the token buffer, and the
// errors reported. LoadFromBuffer makes its own when given none; the localization loader
// passes one to ReadToken.
class CKeyValuesParser
{
public:
    static constexpr int k_nMaxPathEntries = 64; // key path entries kept for error reports
    static constexpr int k_cchMaxToken = 65535;  // characters kept of one token
    static constexpr int k_nMaxNesting = 64;     // block levels a text may open
    static constexpr int k_cMaxErrorReports = 100;

    explicit CKeyValuesParser(const char *pchResourceName = nullptr, bool bPrintErrors = true);
    ~CKeyValuesParser();
    CKeyValuesParser(const CKeyValuesParser &) = delete;
    CKeyValuesParser &operator=(const CKeyValuesParser &) = delete;

    // Null means "NULL".
    void SetResourceName(const char *pchResourceName);
    const char *GetResourceName() const { return m_strResourceName.Get(); }
    // Whether each report is also printed (with Msg) as it is made.

    // Every report so far, one after the other; each is
    // "KeyValues Error: <message> in file <resource> [offset: <read position>]\n" followed by
    // the key path and "\n". After k_cMaxErrorReports only a final note is added.
    const char *GetErrorText() const { return m_strErrors.Get(); }
    int GetErrorCount() const { return m_cErrors; }
    void ClearErrors();

    // Reports pchMessage at the buffer's read position.
    void ReportError(const CUtlBuffer &buf, const char *pchMessage);

    // The key path: each block pushes its name and a slot for its current key.
    void PushKey(HKeySymbol hSymbol);
    void PopKey();
    void SetCurrentKey(HKeySymbol hSymbol);
    int GetPathDepth() const { return m_errorIndex; }

    // The 64 KB token buffer, allocated on first use; Release frees it.
    char *GetTokenBuffer();
    void ReleaseTokenBuffer();

private:
    friend class KeyValues;
    // A new load: only levels reached from now on are shown as left behind.
    void BeginLoad();

    HKeySymbol m_rghPath[k_nMaxPathEntries];
    int m_errorIndex;     // entries pushed (also those beyond the stored ones)
    int m_nMaxErrorIndex; // the most entries pushed in this load
    CUtlString m_strResourceName;
    char *m_pchTokenBuffer;
    CUtlString m_strErrors;
    int m_cErrors;
    bool m_bPrintErrors;
};

class KeyValues
{
public:
    enum types_t
    {
        TYPE_NONE = 0, // a section: the value is the first child
        TYPE_STRING = 1,
        TYPE_INT = 2,
        TYPE_FLOAT = 3,
        TYPE_PTR = 4, // never written to text
        TYPE_WSTRING = 5,
        TYPE_COLOR = 6,
        TYPE_UINT64 = 7,
        TYPE_BINARY = 9,
    };

    // Flags of the writer.
    enum ESaveFlags
    {
        k_ESaveLowerCaseNames = 0x1, // key names (not values) lower-cased, A-Z only
        k_ESaveUint64Unsigned = 0x2, // 64-bit values written unsigned
    };

    explicit KeyValues(const char *pchName);
    explicit KeyValues(HKeySymbol hNameSymbol);
    // A section holding the given children.
    KeyValues(const char *pchName, const char *pchFirstKey, const char *pchFirstValue);
    KeyValues(const char *pchName, const char *pchFirstKey, int nFirstValue);
    KeyValues(const char *pchName, const char *pchFirstKey, const char *pchFirstValue,
              const char *pchSecondKey, const char *pchSecondValue);

    // Destroys this node, its children and every peer that follows it.
    void DeleteThis();
    // Frees the value or the children; the node becomes an empty section, name kept.
    void Clear();

    // ---- name and type ----
    const char *GetName() const;
    HKeySymbol GetNameSymbol() const { return (HKeySymbol)(m_unBits & k_unNameMask); }
    void SetName(const char *pchName);
    types_t GetDataType() const { return (types_t)((m_unBits >> k_nTypeShift) & 0xF); }
    // Quoted strings read into and written from this node use C escapes; nodes created
    // under it inherit the flag. Off unless set.
    bool HasEscapeSequences() const { return (m_unBits & k_unEscapeBit) != 0; }
    void UsesEscapeSequences(bool bUses);

    // ---- navigation (null when nothing matches) ----
    // pchKeyPath: names joined by "/", each looked up among the children in order (the first
    // match wins). With bCreate, missing parts are appended as empty sections. Null or ""
    // is this node. Without bCreate a name never interned fails at once.
    KeyValues *FindKey(const char *pchKeyPath, bool bCreate = false);
    KeyValues *FindKey(HKeySymbol hKeySymbol) const;
    // Appends a new empty section; a node holding a value loses it and becomes a section.
    KeyValues *CreateKey(const char *pchName);
    // Appends an existing node (and the peers after it); the tree takes ownership.
    void AddSubKey(KeyValues *pSubKey);
    // Unlinks a child without destroying it (its peer link is cleared).
    void RemoveSubKey(KeyValues *pSubKey);
    KeyValues *GetFirstSubKey() const;
    KeyValues *GetNextKey() const { return m_pPeer; }
    void SetNextKey(KeyValues *pPeer) { m_pPeer = pPeer; }
    // Sections only.
    KeyValues *GetFirstTrueSubKey() const;
    KeyValues *GetNextTrueSubKey() const;
    // Values only.
    KeyValues *GetFirstValue() const;
    KeyValues *GetNextValue() const;

    // ---- typed access ----
    // Each takes the path of a key below this node (null or "": this node itself, see
    // FindKey); a missing key gives the default. The getters convert the value:
    //   GetInt: a string is read as Q_atoi reads it (status NotNumeric when the text is
    //     empty, giving the default, or has more than a number; without a status pointer
    //     that also asserts); a float is truncated; a 64-bit value that does not fit
    //     asserts and gives the default; other types give their 32-bit word.
    //   GetUint64: strings as 64-bit decimal; floats and wide strings as 32-bit values,
    //     sign-extended; 32-bit types zero-extended.
    //   GetString: a number or pointer is formatted and the node becomes a string holding
    //     that text; a wide string is converted to UTF-8 likewise; binary gives its bytes;
    //     sections and colors give the default. The text lives in the node until its
    //     value changes.
    //   GetWString: the mirror image; the node becomes a UTF-16 string.
    int GetInt(const char *pchKeyPath = nullptr, int nDefault = 0, EKVConversionStatus *peStatus = nullptr);
    uint64 GetUint64(const char *pchKeyPath = nullptr, uint64 ullDefault = 0,
                     EKVConversionStatus *peStatus = nullptr);
    float GetFloat(const char *pchKeyPath = nullptr, float flDefault = 0.0f);
    const char *GetString(const char *pchKeyPath = nullptr, const char *pchDefault = "");
    const wchar16 *GetWString(const char *pchKeyPath = nullptr, const wchar16 *pwchDefault = u"");
    void *GetPtr(const char *pchKeyPath = nullptr, void *pDefault = nullptr);
    // Whether the key exists and has neither value nor children.
    bool IsEmpty(const char *pchKeyPath = nullptr);

    // The setters find or create the key at the path (null: this node), free its old
    // value or children, and store the new value. A null string stores "".
    void SetString(const char *pchKeyPath, const char *pchValue);
    void SetWString(const char *pchKeyPath, const wchar16 *pwchValue);
    void SetInt(const char *pchKeyPath, int nValue);
    void SetUint64(const char *pchKeyPath, uint64 ullValue);
    void SetFloat(const char *pchKeyPath, float flValue);
    void SetPtr(const char *pchKeyPath, void *pValue);
    void SetColor(const char *pchKeyPath, uint8 r, uint8 g, uint8 b, uint8 a);
    void SetBinary(const char *pchKeyPath, const void *pData, int cubData);
    // The stored bytes of a binary value (null for other types); *pcub receives the length.
    const uint8 *GetBinary(const char *pchKeyPath, int *pcub);

    // ---- whole trees ----
    // Same type and value; sections compare their children in order (same count, names
    // and contents; the two nodes' own names are not compared). Colors and binary values
    // assert and count as equal.
    bool IsEqual(const KeyValues *pOther) const;
    // Replaces this node's value or children with a deep copy of those of src (name kept).
    void CopyFrom(const KeyValues &src);
    // A deep copy of this node (not of its peers); the caller owns it.
    KeyValues *MakeCopy() const;
    // Values of pOther replace differing same-named values here or are appended; sections
    // merge into same-named sections, replace same-named values, or are appended.
    void MergeFrom(const KeyValues *pOther);

    // ---- text ----
    // Loads text from a text-mode buffer into this node (the first block; later blocks are
    // appended as peers). Parse errors are reported (see CKeyValuesParser) and end the
    // block being read; what was read before stays. Blocks nest at most 64 levels deep, and
    // a text without any key (empty, blanks or comments only) is reported as well. True when
    // no error was reported. pchResourceName (null: "NULL") names the text in the reports.
    bool LoadFromBuffer(const char *pchResourceName, CUtlBuffer &buf, CKeyValuesParser *pParser = nullptr);
    // Clear, then LoadFromBuffer over the NUL-terminated text. Null text: true; "": false.
    bool LoadFromString(const char *pchResourceName, const char *pchText,
                        CKeyValuesParser *pParser = nullptr);
    // Writes this node as text at the given indentation (nFlags: ESaveFlags).
    void RecursiveSaveToFile(CUtlBuffer &buf, int nIndentLevel, int nFlags = 0);
    // Writes this node and, when asked, every peer after it; true when the buffer has no
    // error afterwards.
    bool WriteAsText(CUtlBuffer &buf, bool bWithPeers, int nFlags = 0);

    // The tokenizer: skips white space and "//" comments and reads one token: a quoted
    // string (C escapes when bHasEscapes; at most 65535 characters kept), one of { } =, or
    // an unquoted run up to white space, a quote, { } = or NUL (an unquoted run with "["
    // and a later "]" sets bWasConditional). Returns the token, valid until the parser's
    // next token, or null at the end of the data or when the buffer has an error.
    static const char *ReadToken(CUtlBuffer &buf, bool &bWasQuoted, bool bHasEscapes,
                                 CKeyValuesParser &parser, bool &bWasConditional);
    // Evaluates the expression between "[" and "]" of a conditional token: $NAME operands
    // (platform names, "$0", "$1", or conditions registered with SetConditional),
    // decimal numbers, "!", "&&" and "||" (equal precedence, left to right), parentheses.
    static bool EvaluateConditional(const char *pchToken);

protected:
    ~KeyValues();

private:
    KeyValues(const KeyValues &) = delete;
    KeyValues &operator=(const KeyValues &) = delete;

    static constexpr uint32 k_unNameMask = 0x00FFFFFF;
    static constexpr int k_nTypeShift = 24;
    static constexpr uint32 k_unEscapeBit = 1u << 30;
    static constexpr uint32 k_unHeapBit = 1u << 31;

    void Init(HKeySymbol hName);
    void SetDataType(types_t eType)
    {
        m_unBits = (m_unBits & ~(0xFu << k_nTypeShift)) | ((uint32)eType << k_nTypeShift);
    }
    bool BValueOnHeap() const { return (m_unBits & k_unHeapBit) != 0; }
    void FreeValue();
    // The node's own value, converted where the getters say so.
    int GetIntValue(int nDefault, EKVConversionStatus *peStatus);
    uint64 GetUint64Value(uint64 ullDefault, EKVConversionStatus *peStatus);
    void FormatNumberValue(char *pchOut, int cubOut) const;
    const char *GetStringValue(const char *pchDefault);
    const wchar16 *GetWStringValue(const wchar16 *pwchDefault);
    void SetStringValue(const char *pchValue);
    void SetWStringValue(const wchar16 *pwchValue);
    void SetIntValue(int nValue);
    void SetUint64Value(uint64 ullValue);
    // Stores a string the loader read: an integer where the text is one, else a string.
    void SetValueFromToken(const char *pchToken);
    // Children appended and removed while loading, with the list's tail kept at hand.
    void AppendChild(KeyValues *pChild, KeyValues *&pTail);
    void RecursiveLoadFromBuffer(const char *pchResourceName, CUtlBuffer &buf, CKeyValuesParser &parser,
                                 bool bAllowEndOfInput);
    void CopyValueFrom(const KeyValues &src);

    union
    {
        KeyValues *m_pSub;       // TYPE_NONE: first child
        char *m_pszValue;        // TYPE_STRING on the heap
        char m_rgchValue[8];     // TYPE_STRING inline (length + 1 <= 8)
        wchar16 *m_pwszValue;    // TYPE_WSTRING on the heap
        wchar16 m_rgwchValue[4]; // TYPE_WSTRING inline (length + 1 <= 4)
        int32 m_nValue;          // TYPE_INT
        float m_flValue;         // TYPE_FLOAT
        void *m_pValue;          // TYPE_PTR
        uint8 m_rgubColor[4];    // TYPE_COLOR: R, G, B, A
        uint64 m_ullValue;       // TYPE_UINT64
        uint8 *m_pubBinary;      // TYPE_BINARY: uint32 length, the bytes, a NUL
    };
    uint32 m_unBits; // name symbol (24 bits), type (4 bits), escape flag (bit 30), heap flag (bit 31)
    KeyValues *m_pPeer;
};

// Calls DeleteThis at the end of a scope.
class CKeyValuesAutoDelete
{
public:
    explicit CKeyValuesAutoDelete(KeyValues *pKV = nullptr) : m_pKV(pKV) {}
    explicit CKeyValuesAutoDelete(const char *pchName) : m_pKV(new KeyValues(pchName)) {}
    ~CKeyValuesAutoDelete()
    {
        if (m_pKV)
            m_pKV->DeleteThis();
    }
    CKeyValuesAutoDelete(const CKeyValuesAutoDelete &) = delete;
    CKeyValuesAutoDelete &operator=(const CKeyValuesAutoDelete &) = delete;

    KeyValues *Get() const { return m_pKV; }
    KeyValues *operator->() const { return m_pKV; }
    // Gives up ownership.
    KeyValues *Release()
    {
        KeyValues *pKV = m_pKV;
        m_pKV = nullptr;
        return pKV;
    }
    // Destroys the tree held and takes pKV.
    void Assign(KeyValues *pKV)
    {
        if (m_pKV && m_pKV != pKV)
            m_pKV->DeleteThis();
        m_pKV = pKV;
    }

private:
    KeyValues *m_pKV;
};

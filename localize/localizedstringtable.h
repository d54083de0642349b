// CLocalizedStringTable: the ILocalize table.
//
// Every name lives in one name pool (8-bit, grown 1024 bytes at a time) and every text in
// one value pool (UTF-16, grown 2048 units at a time); entries refer to them by offset and
// are ordered by name without regard to ASCII case. A replaced text stays in the pool.
// While a file loads, identical texts share one copy in the pool.
//
// One thread at a time (see ilocalize.h).
#pragma once

#include "foundation/utlstring.h"
#include "foundation/utlvector.h"
#include "localize/ilocalize.h"
#include "localize/localizepool.h"

#include <cstdarg>
#include <memory>
#include <set>
#include <unordered_set>
#include <vector>

class ILocalizeTokenReader;

class CLocalizedStringTable final : public ILocalize
{
public:
    static constexpr int k_cchNamePoolGrowStep = 1024;
    static constexpr int k_cchValuePoolGrowStep = 2048;
    // Characters kept of a file's "Language" value and of the user's language.
    static constexpr int k_cchMaxLanguage = 62;
    // Characters of a "%name%" variable name that are looked up.
    static constexpr int k_cchMaxVariableName = 31;
    // Bytes of the buffer behind FindAsUTF8.
    static constexpr int k_cubFindAsUTF8Buffer = 2048;

    CLocalizedStringTable();
    ~CLocalizedStringTable();

    bool AddFile(CFileSystem *pFileSystem, const char *pchFileName) override;
    void RemoveAll() override;
    const wchar16 *FindText(const char *pchToken) override;
    int ConvertUTF8ToUnicode(const char *pchUTF8, wchar16 *pwchOut, int cubOut) override;
    int ConvertUnicodeToUTF8(const wchar16 *pwchText, char *pchOut, int cubOut) override;
    LocalizeStringIndex_t FindIndex(const char *pchToken) override;
    void ConstructString(wchar16 *pwchOut, int cubOut, LocalizeStringIndex_t nIndex,
                         KeyValues *pVariables) override;
    void ConstructString(wchar16 *pwchOut, int cubOut, const char *pchToken, KeyValues *pVariables) override;
    void ConstructString(wchar16 *pwchOut, int cubOut, const wchar16 *pwchFormat, int nArgs, ...) override;
    const char *GetNameByIndex(LocalizeStringIndex_t nIndex) override;
    const wchar16 *GetValueByIndex(LocalizeStringIndex_t nIndex) override;
    LocalizeStringIndex_t GetFirstStringIndex() override;
    LocalizeStringIndex_t GetNextStringIndex(LocalizeStringIndex_t nIndex) override;
    void AddString(const char *pchToken, const wchar16 *pwchValue, const char *pchFileName) override;
    void SetValueByIndex(LocalizeStringIndex_t nIndex, const wchar16 *pwchValue) override;
    bool SaveToFile(const char *pchFileName) override;
    int GetFileCount() override;
    const char *GetFileName(int nPosition) override;
    const char *GetFileNameByIndex(LocalizeStringIndex_t nIndex) override;
    void ReloadFiles() override;
    bool ReloadFile(const char *pchFileName) override;
    const char *FindAsUTF8(const char *pchToken) override;
    bool BReserved23() override { return false; }
    bool BReserved24() override { return false; }
    bool BReserved25() override { return false; }
    bool BReserved26() override { return false; }
    const char *GetLanguage() override;

    // The positional form with a va_list of const wchar16 * arguments.
    void ConstructStringV(wchar16 *pwchOut, int cubOut, const wchar16 *pwchFormat, int nArgs, va_list args);

    // The "Language" value of the last file read ("" before any).
    const char *GetFileLanguage() const { return m_rgchFileLanguage; }
    int GetStringCount() const { return (int)m_vecEntries.size(); }
    // Pool use, for tests and diagnostics.
    int GetValuePoolCount() const { return m_ValuePool.Count(); }
    int GetValuePoolAllocated() const { return m_ValuePool.Allocated(); }
    int GetNamePoolCount() const { return m_NamePool.Count(); }
    int GetNamePoolAllocated() const { return m_NamePool.Allocated(); }

private:
    struct LocalizedEntry_t
    {
        int m_nNameOffset;  // in the name pool
        int m_nValueOffset; // in the value pool, in UTF-16 units
        uint16 m_unFileSymbol;
    };

    // Orders entry indices by name, ASCII case ignored; also compares with a bare name.
    struct NameLess_t
    {
        using is_transparent = void;
        const CLocalizedStringTable *m_pTable;
        bool operator()(int a, int b) const;
        bool operator()(int a, const char *b) const;
        bool operator()(const char *a, int b) const;
    };
    // Value pool offsets, hashed and compared by the text there.
    struct ValueHash_t
    {
        const CLocalizedStringTable *m_pTable;
        size_t operator()(int nOffset) const;
    };
    struct ValueEqual_t
    {
        const CLocalizedStringTable *m_pTable;
        bool operator()(int a, int b) const;
    };
    typedef std::unordered_set<int, ValueHash_t, ValueEqual_t> ValueSet_t;

    const char *NameAt(int nIndex) const { return m_NamePool.At(m_vecEntries[(size_t)nIndex].m_nNameOffset); }
    bool BIsValidIndex(LocalizeStringIndex_t nIndex) const
    {
        return nIndex >= 0 && nIndex < (int)m_vecEntries.size();
    }
    // Appends a text (with its NUL) to the value pool, reusing an identical one while a
    // file loads. -1 when the pool cannot grow.
    int StoreValue(const wchar16 *pwchValue, int cchValue);
    // Whether another entry refers to the same text.
    bool BValueShared(LocalizeStringIndex_t nIndex) const;
    CFileSystem *FileSystemToUse();

    // Loading (localizedstringtable_load.cpp).
    bool AddFileByName(CFileSystem *pFileSystem, const char *pchFileName);
    void MakeFileCurrent(const char *pchFileName);
    void ParseFile(ILocalizeTokenReader &reader, const char *pchFileName);
    void BeginValueSharing();
    void EndValueSharing();

    CLocalizePool<char> m_NamePool;
    CLocalizePool<wchar16> m_ValuePool;
    std::vector<LocalizedEntry_t> m_vecEntries;
    std::set<int, NameLess_t> m_setByName;
    CUtlVector<uint16> m_vecFiles;
    uint16 m_unCurrentFile;
    char m_rgchFileLanguage[k_cchMaxLanguage + 1];
    CUtlString m_strUserLanguage;
    CFileSystem *m_pFileSystem;
    std::unique_ptr<ValueSet_t> m_pLoadValues; // while a file loads
};

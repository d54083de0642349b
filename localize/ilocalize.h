// ILocalize: the table of localized texts, from token names to UTF-16 texts, and the
// operations that turn a token and its arguments into display text.
//
// Texts are UTF-16 (wchar16); names and file names are UTF-8. Token names are compared
// without regard to ASCII case, and one leading "#" of a token is ignored, so
// "#FerroBootstrapper_UpdateChecking" and "ferrobootstrapper_updatechecking" name the same
// entry. Sizes of output buffers are in bytes.
//
// Pointers into the table (FindText, GetNameByIndex, GetValueByIndex) stay valid until the
// next operation that adds or changes a text. The table has no lock: one thread at a time
// (the launcher's lookup in ferroexe/localizedtext.h serialises its use).
#pragma once

#include "foundation/basetypes.h"

class CFileSystem;
class KeyValues;

// An index of the table: stable from the string's addition until RemoveAll.
typedef int LocalizeStringIndex_t;
constexpr LocalizeStringIndex_t k_nInvalidLocalizeStringIndex = -1;

class ILocalize
{
public:
    // Loads a language file through the file system (null: the process-wide one). A name
    // holding "%language%" loads the English file and then the user's language over it;
    // the English file's result is the result. False when the file cannot be read.
    virtual bool AddFile(CFileSystem *pFileSystem, const char *pchFileName) = 0;
    // Empties the table, both pools and the file list.
    virtual void RemoveAll() = 0;
    // The text of a token, or null.
    virtual const wchar16 *FindText(const char *pchToken) = 0;
    // Conversions with invalid input replaced by "?"; they return the bytes written
    // including the terminator.
    virtual int ConvertUTF8ToUnicode(const char *pchUTF8, wchar16 *pwchOut, int cubOut) = 0;
    virtual int ConvertUnicodeToUTF8(const wchar16 *pwchText, char *pchOut, int cubOut) = 0;
    // The index of a token, or k_nInvalidLocalizeStringIndex.
    virtual LocalizeStringIndex_t FindIndex(const char *pchToken) = 0;
    // Expands the text at the index: "%%" gives "%", "%name%" the value of the child
    // "name" of pVariables (when given), "%s1" to "%s9" stay for the positional form.
    // An index without a text gives "[unknown string]".
    virtual void ConstructString(wchar16 *pwchOut, int cubOut, LocalizeStringIndex_t nIndex,
                                 KeyValues *pVariables) = 0;
    // As above for a token; a token not in the table gives the token itself.
    virtual void ConstructString(wchar16 *pwchOut, int cubOut, const char *pchToken,
                                 KeyValues *pVariables) = 0;
    // Positional expansion: "%s1" to "%s9" (and "%s:" for the tenth) insert the arguments
    // (const wchar16 *), counted from 1; a reference beyond nArgs stays as written. A null
    // format gives "".
    virtual void ConstructString(wchar16 *pwchOut, int cubOut, const wchar16 *pwchFormat, int nArgs, ...) = 0;
    // Null for an index without an entry.
    virtual const char *GetNameByIndex(LocalizeStringIndex_t nIndex) = 0;
    virtual const wchar16 *GetValueByIndex(LocalizeStringIndex_t nIndex) = 0;
    // Iteration in name order; k_nInvalidLocalizeStringIndex at the end.
    virtual LocalizeStringIndex_t GetFirstStringIndex() = 0;
    virtual LocalizeStringIndex_t GetNextStringIndex(LocalizeStringIndex_t nIndex) = 0;
    // Adds or replaces a text (carriage returns removed). The entry belongs to the named
    // file, or with null to the file being loaded.
    virtual void AddString(const char *pchToken, const wchar16 *pwchValue, const char *pchFileName) = 0;
    virtual void SetValueByIndex(LocalizeStringIndex_t nIndex, const wchar16 *pwchValue) = 0;
    // Writes the entries of that file as a UTF-16 language file; false when it cannot be
    // written.
    virtual bool SaveToFile(const char *pchFileName) = 0;
    // The files loaded so far, each once, in the order of their most recent load.
    virtual int GetFileCount() = 0;
    virtual const char *GetFileName(int nPosition) = 0;
    // The file that supplied the entry's text, or null.
    virtual const char *GetFileNameByIndex(LocalizeStringIndex_t nIndex) = 0;
    // Loads every file of the list again, in list order.
    virtual void ReloadFiles() = 0;
    // When the file is in the list, reloads all files; false when it is not.
    virtual bool ReloadFile(const char *pchFileName) = 0;
    // The text as UTF-8 in one process-wide buffer (overwritten by the next call), or the
    // token itself when it is not in the table.
    virtual const char *FindAsUTF8(const char *pchToken) = 0;
    // Four slots that do nothing.
    virtual bool BReserved23() = 0;
    virtual bool BReserved24() = 0;
    virtual bool BReserved25() = 0;
    virtual bool BReserved26() = 0;
    // The user's language from the registry ("english" when it has none), read once.
    virtual const char *GetLanguage() = 0;

protected:
    ~ILocalize() = default;
};

// The process-wide table.
ILocalize *Localize();

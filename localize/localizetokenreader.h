// The token readers of language files: 8-bit text (UTF-8) through the KeyValues tokenizer,
// and UTF-16 text with its own tokenizer. Both hand out keys as UTF-8 and values as UTF-16,
// so the parser above them is one.
//
// A language file is a sequence of key/value tokens:
//     "lang"
//     {
//         "Language"  "German"
//         "Tokens"
//         {
//             "FerroBootstrapper_UpdateChecking"  "Suche nach Updates..."
//         }
//     }
// Keys are cut to k_cchMaxKey characters and values to k_cchMaxValue (bytes in 8-bit files,
// UTF-16 units in UTF-16 files); a cut never splits a character. In UTF-16 files the rest
// of a cut token is read as the next token, as it always was, and each cut is reported.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/keyvalues.h"
#include "foundation/utlbuffer.h"
#include "foundation/utlstring.h"

#include <memory>

class ILocalizeTokenReader
{
public:
    static constexpr int k_cchMaxKey = 127;
    static constexpr int k_cchMaxValue = 2047;
    // Room for a key as UTF-8 (three bytes per UTF-16 unit) and for a value.
    static constexpr int k_cubKeyBuffer = k_cchMaxKey * 3 + 1;
    static constexpr int k_cchValueBuffer = k_cchMaxValue + 1;

    virtual ~ILocalizeTokenReader() = default;
    // The next key (UTF-8, at least k_cubKeyBuffer bytes of room). False when no token is
    // left or the token is empty without having been quoted.
    virtual bool BReadKey(char *pchKey) = 0;
    // The next value (UTF-16, at least k_cchValueBuffer units of room); false as above.
    virtual bool BReadValue(wchar16 *pwchValue) = 0;
};

// 8-bit text (after any EF BB BF): the KeyValues tokenizer with escape sequences on;
// its errors are printed as they are found.
class CLocalizeTokenReader8 final : public ILocalizeTokenReader
{
public:
    // The data must outlive the reader.
    CLocalizeTokenReader8(const char *pchData, int cubData, const char *pchFileName);

    bool BReadKey(char *pchKey) override;
    bool BReadValue(wchar16 *pwchValue) override;
    int GetErrorCount() const { return m_Parser.GetErrorCount(); }

private:
    // The next token, cut to cchMax bytes without splitting a UTF-8 sequence; null when
    // there is none.
    const char *ReadToken(int cchMax, const char *pchWhat, int *pcchToken);

    std::unique_ptr<CUtlBuffer> m_pBuf; // null for empty data
    CKeyValuesParser m_Parser;
    CUtlString m_strFileName;
};

// UTF-16 text (after FF FE), NUL-terminated. White space separates tokens; a quoted token
// runs to the closing quote, with backslash-n for a line feed and backslash-quote for a
// quote (any other backslash is kept); an unquoted one runs to the next white space. A key
// that starts with "//" makes the rest of its line a comment.
class CLocalizeTokenReader16 final : public ILocalizeTokenReader
{
public:
    // The text must outlive the reader. nFileOffset: where the text starts in the file,
    // for the reports.
    CLocalizeTokenReader16(const wchar16 *pwchText, int nFileOffset, const char *pchFileName);

    bool BReadKey(char *pchKey) override;
    bool BReadValue(wchar16 *pwchValue) override;

private:
    enum ERemainder
    {
        k_ERemainderNone,
        k_ERemainderQuoted,   // the cut token was quoted: the rest runs to the closing quote
        k_ERemainderUnquoted, // the cut token was unquoted: the rest runs to white space
    };

    // One token into cchOut units (the NUL included); false when none is left or it is
    // empty without having been quoted.
    bool BReadToken(wchar16 *pwchOut, int cchOut, bool *pbQuoted);
    void SkipRestOfLine();
    int FileOffset() const;
    void ReportProblem(const char *pchProblem);

    const wchar16 *m_pwchText;
    const wchar16 *m_pwch;
    int m_nFileOffset;
    ERemainder m_eRemainder = k_ERemainderNone;
    CUtlString m_strFileName;
};

// Bounded string, Unicode, URL, hex and path tools.
//
// Every function writes into a caller's buffer of a given size in bytes (the NUL included),
// cuts what does not fit and always terminates when the size is positive. None allocates,
// except the string splitters.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/utlstring.h"
#include "foundation/utlvector.h"

#include <cstdarg>

#define CORRECT_PATH_SEPARATOR '\\'
#define INCORRECT_PATH_SEPARATOR '/'
#define CORRECT_PATH_SEPARATOR_S "\\"

// Whole-string comparison length for Q_strncmp / Q_strnicmp.
#define COPY_ALL_CHARACTERS -1
#define Q_COMPARE_ALL 0x7FFFFFFF

inline bool Q_IsPathSeparator(char ch)
{
    return ch == '\\' || ch == '/';
}
inline char Q_tolower_ascii(char ch)
{
    return (ch >= 'A' && ch <= 'Z') ? (char)(ch + ('a' - 'A')) : ch;
}
inline char Q_toupper_ascii(char ch)
{
    return (ch >= 'a' && ch <= 'z') ? (char)(ch - ('a' - 'A')) : ch;
}

// ---- bounded strings ----
int Q_strlen(const char *pch);
void Q_strncpy(char *pchDest, const char *pchSrc, int cubDest);
void Q_strcat(char *pchDest, const char *pchSrc, int cubDest);
// Appends min(cchMax (all when -1), room left - 1) characters.
void Q_strncat(char *pchDest, const char *pchSrc, int cubDest, int cchMax = COPY_ALL_CHARACTERS);
// UTF-16 copy of at most cubDest/2 - 1 units, terminated.
void Q_wcsncpy(wchar16 *pwchDest, const wchar16 *pwchSrc, int cubDest);
int Q_wcslen(const wchar16 *pwch);
// Results -1, 0, 1. Q_strnicmp folds A-Z only.
int Q_strncmp(const char *a, const char *b, int cch);
int Q_strnicmp(const char *a, const char *b, int cch);
inline int Q_strcmp(const char *a, const char *b)
{
    return Q_strncmp(a, b, Q_COMPARE_ALL);
}
inline int Q_stricmp(const char *a, const char *b)
{
    return Q_strnicmp(a, b, Q_COMPARE_ALL);
}
// Case-insensitive (A-Z) substring search; null when not found.
const char *Q_stristr(const char *pchHaystack, const char *pchNeedle);
// Lower-cases A-Z in place.
void Q_strlower(char *pch);

// Returns the length written; on truncation size - 1 and *pbTruncated set.
int Q_vsnprintf(char *pchDest, int cubDest, const char *pchFormat, va_list args, bool *pbTruncated = nullptr);
int Q_snprintf(char *pchDest, int cubDest, const char *pchFormat, ...) FERRO_PRINTF(3, 4);

// Optional sign, then "0x"/"0X" and hex digits, or a single quote and one character (its
// code), or decimal digits. No digits: 0 with *ppchEnd at the start. No overflow check.
int Q_atoi(const char *pch, const char **ppchEnd = nullptr);

// Decimal with a comma between groups of three, padded left to nMinWidth (at most 31).
// Returns one of eight rotating 32-byte buffers (per thread).
const char *Q_FormatNumber(int64 nValue, int nMinWidth = 0);

// In place; returns the new length.
int Q_StripSurroundingWhiteSpace(char *pch);
// Case-insensitive; the position after the prefix, or null.
const char *Q_StringHasPrefix(const char *pch, const char *pchPrefix);
// Splits at the earliest of any separator (the first listed wins at equal positions).
void Q_SplitString2(const char *pch, const char **ppchSeparators, int nSeparators, CUtlVector<CUtlString> &outList,
                    bool bIncludeEmptyStrings = false);
void Q_SplitString(const char *pch, const char *pchSeparator, CUtlVector<CUtlString> &outList,
                   bool bIncludeEmptyStrings = false);

// ---- Unicode ----
enum EStringConvertErrorPolicy
{
    k_EStringConvertReplace = 0,       // invalid input becomes "?"
    k_EStringConvertSkip = 1,          // invalid input is dropped
    k_EStringConvertFail = 2,          // invalid input fails the whole conversion (empty, result 0)
    k_EStringConvertAssertReplace = 4, // the system's choice: "?" as with 0
};

// Both return the bytes written including the terminator, or with a null destination the
// bytes needed. Sizes are in bytes. Code points are never split at the end of the room.
int Q_UTF8ToUnicode(const char *pchUTF8, wchar16 *pwchDest, int cubDest,
                    EStringConvertErrorPolicy ePolicy = k_EStringConvertAssertReplace);
int Q_UnicodeToUTF8(const wchar16 *pwchSrc, char *pchDest, int cubDest,
                    EStringConvertErrorPolicy ePolicy = k_EStringConvertAssertReplace);

// ---- hex and URL encodings ----
void Q_binarytohex(const byte *pubIn, int cubIn, char *pchOut, int cubOut);
// Pairs of hex digits of cchHex characters into at most cubOut bytes (cleared first).
// Returns the number of bytes produced.
int Q_hextobinary(const char *pchHex, int cchHex, byte *pubOut, int cubOut);

// Letters, digits, '-', '_' and '.' stay; a blank becomes '+'; every other byte "%XX".
void Q_URLEncode(char *pchDest, int cubDest, const char *pchSrc, int cubSrc);
// As above without the blank rule (a blank becomes "%20").
void Q_URLEncodeRaw(char *pchDest, int cubDest, const char *pchSrc, int cubSrc);
// Returns the decoded length. '+' becomes a blank.
int Q_URLDecode(char *pchDest, int cubDest, const char *pchSrc, int cubSrc);
// As above without the plus rule.
int Q_URLDecodeRaw(char *pchDest, int cubDest, const char *pchSrc, int cubSrc);
bool Q_URLHost(const char *pchURL, char *pchOut, int cubOut);
bool Q_URLHostMatchesDomain(const char *pchURL, const char *pchDomain);

// ---- Windows paths ----
void Q_FixSlashes(char *pchPath, char chSeparator = CORRECT_PATH_SEPARATOR);
void Q_FixDoubleSlashes(char *pchPath);
void Q_AppendSlash(char *pchPath, int cubPath);
void Q_StripLastComponent(char *pchPath);
const char *Q_UnqualifiedFileName(const char *pchPath);
void Q_FileBase(const char *pchPath, char *pchOut, int cubOut);
bool Q_IsAbsolutePath(const char *pchPath);
bool Q_RemoveDotSlashes(char *pchPath, char chSeparator = CORRECT_PATH_SEPARATOR);
void Q_MakeAbsolutePath(char *pchOut, int cubOut, const char *pchPath, const char *pchStartingDir = nullptr);

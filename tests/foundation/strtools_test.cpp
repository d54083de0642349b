#include "foundation/strtools.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace
{
std::u16string ToWide(const char *pch, int cubDest = 256)
{
    std::u16string str(cubDest / 2, u'\0');
    Q_UTF8ToUnicode(pch, &str[0], cubDest);
    str.resize(Q_wcslen(str.data()));
    return str;
}

std::string ToUTF8(const char16_t *pwch, int cubDest = 256)
{
    std::string str(cubDest, '\0');
    Q_UnicodeToUTF8(pwch, &str[0], cubDest);
    str.resize(strlen(str.c_str()));
    return str;
}
} // namespace

TEST(StrTools, CopiesAreCutAndTerminatedAtEveryBoundary)
{
    const char *pchSrc = "abcdef";
    for (int cub = 1; cub <= 8; ++cub)
    {
        char rgch[16];
        memset(rgch, 'X', sizeof(rgch));
        Q_strncpy(rgch, pchSrc, cub);
        EXPECT_EQ(std::string(pchSrc).substr(0, cub - 1), rgch) << cub;
        EXPECT_EQ('X', rgch[cub]) << "wrote past the buffer at size " << cub;
    }
    char rgchUntouched[4] = "zz";
    Q_strncpy(rgchUntouched, "abc", 0);
    EXPECT_STREQ("zz", rgchUntouched);

    // Appending: the room left decides, and a full buffer is left alone.
    char rgch[8] = "abc";
    Q_strcat(rgch, "defgh", sizeof(rgch));
    EXPECT_STREQ("abcdefg", rgch);
    Q_strcat(rgch, "x", sizeof(rgch));
    EXPECT_STREQ("abcdefg", rgch);
    char rgch2[8] = "ab";
    Q_strncat(rgch2, "cdef", sizeof(rgch2), 2);
    EXPECT_STREQ("abcd", rgch2);

    char16_t rgwch[4];
    Q_wcsncpy(rgwch, u"hello", sizeof(rgwch));
    EXPECT_EQ(std::u16string(u"hel"), std::u16string(rgwch));
}

TEST(StrTools, FormattingReportsTruncation)
{
    char rgch[6];
    bool bTruncated = false;
    EXPECT_EQ(5, Q_snprintf(rgch, sizeof(rgch), "%s", "abcdefgh"));
    EXPECT_STREQ("abcde", rgch);
    EXPECT_EQ(3, Q_snprintf(rgch, sizeof(rgch), "%d", 123));

    auto fnFormat = [&](const char *pchFormat, ...) {
        va_list va;
        va_start(va, pchFormat);
        int n = Q_vsnprintf(rgch, sizeof(rgch), pchFormat, va, &bTruncated);
        va_end(va);
        return n;
    };
    EXPECT_EQ(5, fnFormat("%s", "123456"));
    EXPECT_TRUE(bTruncated);
    EXPECT_EQ(5, fnFormat("%s", "12345"));
    EXPECT_FALSE(bTruncated);
}

TEST(StrTools, ComparisonsFoldOnlyAsciiLetters)
{
    EXPECT_EQ(0, Q_stricmp("Ferro.CFG", "ferro.cfg"));
    EXPECT_EQ(-1, Q_strncmp("abc", "abd", Q_COMPARE_ALL));
    EXPECT_EQ(1, Q_strnicmp("b", "A", Q_COMPARE_ALL));
    EXPECT_EQ(0, Q_strnicmp("abcX", "ABCy", 3));
    // '[' sorts between 'Z' and 'a': folding must not touch it.
    EXPECT_NE(0, Q_stricmp("[", "{"));
    EXPECT_STREQ("-BETA2", Q_stristr("x -BETA2", "-beta"));
    EXPECT_EQ(nullptr, Q_stristr("-bet", "-beta"));
    EXPECT_STREQ("rest", Q_StringHasPrefix("HTTP://rest", "http://"));
    EXPECT_EQ(nullptr, Q_StringHasPrefix("htt", "http"));
}

TEST(StrTools, AtoiReadsSignHexCharacterAndDecimal)
{
    const char *pchEnd = nullptr;
    const char *pch = "-0x1Fz";
    EXPECT_EQ(-31, Q_atoi(pch, &pchEnd));
    EXPECT_EQ(pch + 5, pchEnd);
    pch = "'A'";
    EXPECT_EQ(65, Q_atoi(pch, &pchEnd));
    EXPECT_EQ(pch + 2, pchEnd);
    pch = "+42 ";
    EXPECT_EQ(42, Q_atoi(pch, &pchEnd));
    EXPECT_EQ(pch + 3, pchEnd);
    pch = "abc";
    EXPECT_EQ(0, Q_atoi(pch, &pchEnd));
    EXPECT_EQ(pch, pchEnd);
    pch = "-";
    EXPECT_EQ(0, Q_atoi(pch, &pchEnd));
    EXPECT_EQ(pch, pchEnd);
    // No overflow check: the value wraps like 32-bit arithmetic.
    EXPECT_EQ((int)(4294967295u), Q_atoi("4294967295"));

    CSpewCapture capture;
    EXPECT_EQ(0, Q_atoi(nullptr));
    EXPECT_TRUE(capture.BContains("Assertion Failed: NULL buffer passed to Q_atoi()"));
}

TEST(StrTools, FormatNumberGroupsDigitsAndPads)
{
    EXPECT_STREQ("-1,234,567", Q_FormatNumber(-1234567));
    EXPECT_STREQ("0", Q_FormatNumber(0));
    EXPECT_STREQ("999", Q_FormatNumber(999));
    EXPECT_STREQ("1,000", Q_FormatNumber(1000));
    EXPECT_STREQ("   12", Q_FormatNumber(12, 5));
    // Eight rotating buffers: results of one expression stay intact.
    const char *a = Q_FormatNumber(1);
    const char *b = Q_FormatNumber(2);
    EXPECT_STREQ("1", a);
    EXPECT_STREQ("2", b);
}

TEST(StrTools, WhiteSpaceAndSplitting)
{
    char rgch[] = " \t ab c \r\n";
    EXPECT_EQ(4, Q_StripSurroundingWhiteSpace(rgch));
    EXPECT_STREQ("ab c", rgch);

    CUtlVector<CUtlString> list;
    Q_SplitString("a,,b,", ",", list);
    ASSERT_EQ(2, list.Count());
    EXPECT_STREQ("b", list[1]);
    Q_SplitString("a,,b,", ",", list, true);
    ASSERT_EQ(3, list.Count());
    EXPECT_STREQ("", list[1]);
    // At equal positions the first listed separator wins.
    const char *rgpchSeps[] = {";", ";;"};
    Q_SplitString2("x;;y,z", rgpchSeps, 2, list, true);
    ASSERT_EQ(3, list.Count());
    EXPECT_STREQ("x", list[0]);
    EXPECT_STREQ("", list[1]);
    EXPECT_STREQ("y,z", list[2]);
    const char *rgpchBoth[] = {";", ","};
    Q_SplitString2("a;b,c", rgpchBoth, 2, list);
    ASSERT_EQ(3, list.Count());
    EXPECT_STREQ("c", list[2]);
}

TEST(StrTools, UTF8ToUnicodeRejectsInvalidForms)
{
    EXPECT_EQ(u"?", ToWide("\xC0\x80")) << "overlong NUL";
    EXPECT_EQ(u"?", ToWide("\xE0\x80\xAF")) << "overlong slash";
    EXPECT_EQ(u"?", ToWide("\xED\xA0\x80")) << "lone high surrogate";
    EXPECT_EQ(u"?", ToWide("\xED\xBF\xBF")) << "lone low surrogate";
    EXPECT_EQ(u"?", ToWide("\xF4\x90\x80\x80")) << "above U+10FFFF";
    EXPECT_EQ(u"?", ToWide("\xEF\xBF\xBE")) << "U+FFFE";
    EXPECT_EQ(u"?", ToWide("\xEF\xB7\x90")) << "U+FDD0";
    EXPECT_EQ(u"a?b", ToWide("a\x80" "b")) << "stray continuation byte";
    EXPECT_EQ(u"?b", ToWide("\xE2\x82" "b")) << "sequence broken by an ASCII byte";
    // A surrogate pair written as two 3-byte sequences is one code point.
    EXPECT_EQ(u"\U0001F600", ToWide("\xED\xA0\xBD\xED\xB8\x80"));
    EXPECT_EQ(u"\U0001F600", ToWide("\xF0\x9F\x98\x80"));
    EXPECT_EQ(u"\u00e4\u20ac", ToWide("\xC3\xA4\xE2\x82\xAC"));

    char16_t rgwch[8];
    EXPECT_EQ(0, Q_UTF8ToUnicode("a\xC0\x80", rgwch, sizeof(rgwch), k_EStringConvertFail));
    EXPECT_EQ(0, rgwch[0]);
    EXPECT_EQ(6, Q_UTF8ToUnicode("a\xC0\x80" "b", rgwch, sizeof(rgwch), k_EStringConvertSkip));
    EXPECT_EQ(std::u16string(u"ab"), std::u16string(rgwch));
}

TEST(StrTools, ConversionsNeverSplitACodePoint)
{
    // Room for three units and the NUL: the pair of the emoji would need a fourth.
    char16_t rgwch[4];
    EXPECT_EQ(6, Q_UTF8ToUnicode("ab\xF0\x9F\x98\x80", rgwch, sizeof(rgwch)));
    EXPECT_EQ(std::u16string(u"ab"), std::u16string(rgwch));
    EXPECT_EQ(12, Q_UTF8ToUnicode("abc\xF0\x9F\x98\x80", nullptr, 0)) << "size needed without a destination";

    char rgch[4];
    EXPECT_EQ(3, Q_UnicodeToUTF8(u"ab\u20ac", rgch, sizeof(rgch)));
    EXPECT_STREQ("ab", rgch);
    EXPECT_EQ(6, Q_UnicodeToUTF8(u"ab\u20ac", nullptr, 0));
}

TEST(StrTools, UnicodeToUTF8ReplacesUnpairedSurrogates)
{
    EXPECT_EQ("a?b", ToUTF8(u"a\xD800" u"b"));
    EXPECT_EQ("?", ToUTF8(u"\xDC00"));
    EXPECT_EQ("?", ToUTF8(u"\xFFFF"));
    EXPECT_EQ("\xF0\x9F\x98\x80", ToUTF8(u"\U0001F600"));
    const char16_t rgwchBad[] = {u'x', 0xD800, 0};
    char rgch[8];
    EXPECT_EQ(0, Q_UnicodeToUTF8(rgwchBad, rgch, sizeof(rgch), k_EStringConvertFail));
    EXPECT_STREQ("", rgch);
}

TEST(StrTools, HexEncodingBothWays)
{
    const byte rgub[] = {0x00, 0xAB, 0x7F};
    char rgch[7];
    Q_binarytohex(rgub, 3, rgch, sizeof(rgch));
    EXPECT_STREQ("00ab7f", rgch);
    {
        CSpewCapture capture;
        char rgchSmall[5];
        Q_binarytohex(rgub, 3, rgchSmall, sizeof(rgchSmall));
        EXPECT_STREQ("00ab", rgchSmall);
        EXPECT_TRUE(capture.BContains("outsize >= ( inputbytes * 2 ) + 1"));
    }
    byte rgubOut[4];
    EXPECT_EQ(3, Q_hextobinary("0aBCzz", 6, rgubOut, sizeof(rgubOut)));
    EXPECT_EQ(0x0A, rgubOut[0]);
    EXPECT_EQ(0xBC, rgubOut[1]);
    EXPECT_EQ(0x00, rgubOut[2]) << "non-hex characters count as zero";
    EXPECT_EQ(0x00, rgubOut[3]) << "output cleared first";
}

TEST(StrTools, URLEncodingAndDecoding)
{
    char rgch[13];
    Q_URLEncode(rgch, sizeof(rgch), "a b&", 4);
    EXPECT_STREQ("a+b%26", rgch);
    {
        CSpewCapture capture;
        Q_URLEncode(rgch, 12, "a b&", 4);
        EXPECT_STREQ("", rgch);
        EXPECT_TRUE(capture.BContains("Target buffer for Q_URLEncode must be 3x source length"));
    }
    Q_URLEncodeRaw(rgch, sizeof(rgch), "a b", 3);
    EXPECT_STREQ("a%20b", rgch);

    char rgchOut[16];
    EXPECT_EQ(0, Q_URLDecode(rgchOut, sizeof(rgchOut), "%4", 2));
    EXPECT_STREQ("", rgchOut);
    EXPECT_EQ(3, Q_URLDecode(rgchOut, sizeof(rgchOut), "%zz", 3));
    EXPECT_STREQ("%zz", rgchOut);
    EXPECT_EQ(3, Q_URLDecode(rgchOut, sizeof(rgchOut), "%2b+x", 5));
    EXPECT_STREQ("+ x", rgchOut);
    EXPECT_EQ(2, Q_URLDecodeRaw(rgchOut, sizeof(rgchOut), "a+", 2));
    EXPECT_STREQ("a+", rgchOut);
    {
        CSpewCapture capture;
        EXPECT_EQ(0, Q_URLDecode(rgchOut, 2, "abc", 3));
        EXPECT_TRUE(capture.BContains("Q_URLDecode needs a dest buffer at least as large as the source"));
    }
    // Exactly as large: decoded bytes fill it and no terminator fits.
    char rgchExact[3] = {'x', 'x', 'x'};
    EXPECT_EQ(3, Q_URLDecode(rgchExact, 3, "abc", 3));
    EXPECT_EQ('c', rgchExact[2]);
}

TEST(StrTools, URLHostAndDomainMatch)
{
    char rgch[64];
    EXPECT_TRUE(Q_URLHost("http://cdn.example.com:8080/client/x", rgch, sizeof(rgch)));
    EXPECT_STREQ("cdn.example.com:8080", rgch);
    EXPECT_TRUE(Q_URLHost("FERRO://OPENURL/https://a.b/c", rgch, sizeof(rgch)));
    EXPECT_STREQ("a.b", rgch);
    EXPECT_FALSE(Q_URLHost("http:///path", rgch, sizeof(rgch)));

    EXPECT_TRUE(Q_URLHostMatchesDomain("http://www.example.com/", ".example.com"));
    EXPECT_TRUE(Q_URLHostMatchesDomain("http://EXAMPLE.com/", "example.com"));
    EXPECT_FALSE(Q_URLHostMatchesDomain("http://badexample.com/", "example.com"));
    EXPECT_FALSE(Q_URLHostMatchesDomain("http://com/", "example.com"));
}

TEST(StrTools, PathSlashesAndComponents)
{
    char rgch[64] = "a/b\\c/";
    Q_FixSlashes(rgch);
    EXPECT_STREQ("a\\b\\c\\", rgch);

    char rgchDouble[] = "\\\\server\\\\share//x";
    Q_FixDoubleSlashes(rgchDouble);
    EXPECT_STREQ("\\\\server\\share/x", rgchDouble);
    // One pass: a run of three separators loses one.
    char rgchTriple[] = "a\\\\\\b";
    Q_FixDoubleSlashes(rgchTriple);
    EXPECT_STREQ("a\\\\b", rgchTriple);

    char rgchSlash[4] = "ab";
    Q_AppendSlash(rgchSlash, sizeof(rgchSlash));
    EXPECT_STREQ("ab\\", rgchSlash);
    {
        CSpewCapture capture;
        char rgchFull[3] = "ab";
        Q_AppendSlash(rgchFull, sizeof(rgchFull));
        EXPECT_STREQ("ab", rgchFull);
        EXPECT_TRUE(capture.BContains("Q_AppendSlash: ran out of space on ab."));
    }

    char rgchStrip[] = "dir/sub\\file.txt";
    Q_StripLastComponent(rgchStrip);
    EXPECT_STREQ("dir/sub", rgchStrip);
    char rgchNoSep[] = "file";
    Q_StripLastComponent(rgchNoSep);
    EXPECT_STREQ("", rgchNoSep);

    EXPECT_STREQ("file.zip.ab", Q_UnqualifiedFileName("package\\file.zip.ab"));
    char rgchBase[16];
    Q_FileBase("a/b/client.dll", rgchBase, sizeof(rgchBase));
    EXPECT_STREQ("client", rgchBase);

    EXPECT_TRUE(Q_IsAbsolutePath("C:\\x"));
    EXPECT_TRUE(Q_IsAbsolutePath("/tmp"));
    EXPECT_FALSE(Q_IsAbsolutePath("package\\x"));
}

TEST(StrTools, RemoveDotSlashes)
{
    char rgch1[] = "a\\b\\..\\c";
    EXPECT_TRUE(Q_RemoveDotSlashes(rgch1));
    EXPECT_STREQ("a\\c", rgch1);
    char rgch2[] = "b\\..\\c";
    EXPECT_TRUE(Q_RemoveDotSlashes(rgch2));
    EXPECT_STREQ("\\c", rgch2);
    char rgch3[] = "..\\x";
    EXPECT_FALSE(Q_RemoveDotSlashes(rgch3));
    char rgch4[] = "a/./b/.";
    EXPECT_TRUE(Q_RemoveDotSlashes(rgch4));
    EXPECT_STREQ("a\\b\\", rgch4);
    char rgch5[] = ".\\a\\b\\c\\..\\..\\d";
    EXPECT_TRUE(Q_RemoveDotSlashes(rgch5));
    EXPECT_STREQ("a\\d", rgch5);
    // The position after a removal is not examined again: three groups leave one.
    char rgch6[] = "a\\.\\.\\.\\b";
    EXPECT_TRUE(Q_RemoveDotSlashes(rgch6));
    EXPECT_STREQ("a\\.\\b", rgch6);

    char rgchAbs[256];
    Q_MakeAbsolutePath(rgchAbs, sizeof(rgchAbs), "x\\..\\y", "/base/dir");
    EXPECT_STREQ("\\base\\dir\\y", rgchAbs);
    Q_MakeAbsolutePath(rgchAbs, sizeof(rgchAbs), "/abs/./p");
    EXPECT_STREQ("\\abs\\p", rgchAbs);
}

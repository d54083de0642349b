#include "foundation/utlbuffer.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace
{
std::string Data(const CUtlBuffer &buf)
{
    return std::string((const char *)buf.Base(), (size_t)buf.TellMaxPut());
}

std::string Remaining(CUtlBuffer &buf)
{
    const char *pch = (const char *)buf.PeekGet(buf.GetBytesRemaining(), 0);
    return pch ? std::string(pch, (size_t)buf.GetBytesRemaining()) : std::string();
}
} // namespace

TEST(UtlBuffer, TextModeKeepsNulAfterDataAtEveryGrowth)
{
    // Owned memory sized exactly for the data still gets the NUL after it.
    for (int nInit = 0; nInit <= 6; ++nInit)
    {
        CUtlBuffer buf(0, nInit, CUtlBuffer::TEXT_BUFFER);
        buf.Put("hello", 5);
        ASSERT_EQ(5, buf.TellMaxPut());
        ASSERT_GE(buf.Size(), 6) << nInit;
        EXPECT_EQ(0, memcmp(buf.Base(), "hello\0", 6)) << nInit;
    }
    // Byte by byte through several reallocations, with a grow step.
    CUtlBuffer buf(7, 0, CUtlBuffer::TEXT_BUFFER);
    std::string strExpected;
    for (int i = 0; i < 300; ++i)
    {
        char ch = (char)('a' + i % 26);
        buf.PutChar(ch);
        strExpected += ch;
        ASSERT_EQ(strExpected, (const char *)buf.Base());
    }
    // Writing over the middle keeps the data's end and its NUL.
    buf.SeekPut(CUtlBuffer::SEEK_HEAD, 1);
    buf.Put("ZZ", 2);
    EXPECT_EQ(300, buf.TellMaxPut());
    EXPECT_EQ('\0', ((const char *)buf.Base())[300]);
    // Seeking the put position past the end extends the data and terminates it.
    CUtlBuffer bufSeek(0, 0, CUtlBuffer::TEXT_BUFFER);
    bufSeek.Put("ab", 2);
    ASSERT_TRUE(bufSeek.SeekPut(CUtlBuffer::SEEK_HEAD, 10));
    EXPECT_EQ(10, bufSeek.TellMaxPut());
    EXPECT_EQ('\0', ((const char *)bufSeek.Base())[10]);
}

TEST(UtlBuffer, ReadOnlyAndExternalMemoryRefuseWhatDoesNotFit)
{
    const char rgchAbc[] = "abc";
    CUtlBuffer bufRO(rgchAbc, 3, CUtlBuffer::READ_ONLY);
    EXPECT_EQ(3, bufRO.TellMaxPut());
    bufRO.PutChar('x');
    EXPECT_EQ(CUtlBuffer::PUT_OVERFLOW, bufRO.GetError());
    EXPECT_STREQ("abc", rgchAbc);
    EXPECT_EQ(3, bufRO.TellMaxPut());
    // Reading is not affected by the put error.
    EXPECT_EQ('a', bufRO.GetChar());
    EXPECT_FALSE(bufRO.SeekPut(CUtlBuffer::SEEK_HEAD, 1));

    // External memory that may not grow: a write that does not fit changes nothing, and the
    // error stays until cleared, even for writes that would fit.
    char rgchMem[4] = {'.', '.', '.', '.'};
    CUtlBuffer bufExt(rgchMem, 4, 0);
    EXPECT_EQ(0, bufExt.TellMaxPut());
    bufExt.Put("xy", 2);
    bufExt.Put("123", 3);
    EXPECT_EQ(CUtlBuffer::PUT_OVERFLOW, bufExt.GetError());
    EXPECT_EQ(2, bufExt.TellPut());
    EXPECT_EQ("xy", Data(bufExt));
    bufExt.PutChar('z');
    EXPECT_EQ(2, bufExt.TellPut());
    bufExt.ClearError(CUtlBuffer::PUT_OVERFLOW);
    bufExt.PutChar('z');
    EXPECT_EQ("xyz", Data(bufExt));

    // External memory that may grow moves into owned memory and leaves the caller's alone.
    char rgchSmall[3] = {'.', '.', '.'};
    CUtlBuffer bufGrow(rgchSmall, 3, CUtlBuffer::EXTERNAL_GROWABLE);
    bufGrow.Put("hello world", 11);
    EXPECT_TRUE(bufGrow.IsValid());
    EXPECT_FALSE(bufGrow.IsExternallyAllocated());
    EXPECT_EQ("hello world", Data(bufGrow));
    EXPECT_EQ('.', rgchSmall[2]);

    CSpewCapture capture;
    CUtlBuffer bufZero(rgchMem, 0, 0);
    EXPECT_TRUE(capture.BContains("Assertion Failed: nSize != 0"));
}

TEST(UtlBuffer, GetOverflowIsStickyUntilSeekGetAndPeekingSetsNothing)
{
    CUtlBuffer buf;
    buf.PutInt(7);
    buf.PutShort(-2);
    int64 n64 = 0;
    EXPECT_EQ(7, buf.GetInt());
    EXPECT_FALSE(buf.Get(&n64, 8)); // only 2 bytes left
    EXPECT_EQ(CUtlBuffer::GET_OVERFLOW, buf.GetError());
    EXPECT_EQ(4, buf.TellGet());
    // Even a read that would fit fails while the bit is set.
    int16 n16 = 0;
    EXPECT_FALSE(buf.Get(&n16, 2));
    EXPECT_TRUE(buf.SeekGet(CUtlBuffer::SEEK_CURRENT, 0));
    EXPECT_TRUE(buf.IsValid());
    EXPECT_EQ(-2, buf.GetShort());

    // Peeking past the end returns null without an error; seeking past it sets the bit.
    EXPECT_EQ(nullptr, buf.PeekGet(1, 0));
    EXPECT_TRUE(buf.IsValid());
    EXPECT_FALSE(buf.SeekGet(CUtlBuffer::SEEK_HEAD, 7));
    EXPECT_EQ(CUtlBuffer::GET_OVERFLOW, buf.GetError());
    EXPECT_TRUE(buf.SeekGet(CUtlBuffer::SEEK_TAIL, 2));
    EXPECT_EQ(4, buf.TellGet());
    EXPECT_FALSE(buf.SeekGet(CUtlBuffer::SEEK_CURRENT, -5));

    // While an error bit is set, the text helpers do nothing and strings read empty.
    CUtlBuffer bufText(0, 0, CUtlBuffer::TEXT_BUFFER);
    bufText.PutString("   word // c\n");
    bufText.SeekGet(CUtlBuffer::SEEK_HEAD, 100);
    int nGet = bufText.TellGet();
    bufText.EatWhiteSpace();
    EXPECT_EQ(nGet, bufText.TellGet());
    char rgch[16] = "junk";
    EXPECT_FALSE(bufText.GetString(rgch, sizeof(rgch)));
    EXPECT_STREQ("", rgch);
    bufText.SeekGet(CUtlBuffer::SEEK_HEAD, 0);
    EXPECT_TRUE(bufText.GetString(rgch, sizeof(rgch)));
    EXPECT_STREQ("word", rgch);
}

TEST(UtlBuffer, BinaryTypedValuesAreLittleEndianAndRoundTrip)
{
    CUtlBuffer buf;
    buf.PutInt(0x01020304);
    EXPECT_EQ(0, memcmp(buf.Base(), "\x04\x03\x02\x01", 4));
    buf.PutUnsignedShort(0xBEEF);
    buf.PutInt64(-5);
    buf.PutUint64(0xFFFFFFFFFFFFFFFEull);
    buf.PutFloat(1.5f);
    buf.PutDouble(-0.25);
    buf.PutChar('q');
    buf.PutString("abc");
    buf.PutString(nullptr);
    buf.PutString("");
    EXPECT_EQ(4 + 2 + 8 + 8 + 4 + 8 + 1 + 4 + 1 + 1, buf.TellMaxPut());

    EXPECT_EQ(0x01020304, buf.GetInt());
    EXPECT_EQ(0xBEEF, buf.GetUnsignedShort());
    EXPECT_EQ(-5, buf.GetInt64());
    EXPECT_EQ(0xFFFFFFFFFFFFFFFEull, buf.GetUint64());
    EXPECT_EQ(1.5f, buf.GetFloat());
    EXPECT_EQ(-0.25, buf.GetDouble());
    EXPECT_EQ('q', buf.GetChar());
    char rgch[8];
    EXPECT_TRUE(buf.GetString(rgch, sizeof(rgch)));
    EXPECT_STREQ("abc", rgch);
    EXPECT_STREQ("", buf.GetStringFast());
    EXPECT_STREQ("", buf.GetStringFast());
    EXPECT_TRUE(buf.IsValid());
    EXPECT_EQ(0, buf.GetInt());
    EXPECT_EQ(CUtlBuffer::GET_OVERFLOW, buf.GetError());

    // A binary string longer than the room is cut and consumed with its NUL.
    CUtlBuffer bufCut;
    bufCut.PutString("abcdefgh");
    bufCut.PutString("next");
    EXPECT_FALSE(bufCut.GetString(rgch, 4));
    EXPECT_STREQ("abc", rgch);
    EXPECT_TRUE(bufCut.GetString(rgch, sizeof(rgch)));
    EXPECT_STREQ("next", rgch);

    // A string without its NUL reads what is there and reports the overflow.
    CUtlBuffer bufOpen;
    bufOpen.Put("xy", 2);
    EXPECT_TRUE(bufOpen.GetString(rgch, sizeof(rgch)));
    EXPECT_STREQ("xy", rgch);
    EXPECT_EQ(CUtlBuffer::GET_OVERFLOW, bufOpen.GetError());

    CSpewCapture capture;
    CUtlBuffer bufUnterminated;
    bufUnterminated.Put("zz", 2);
    EXPECT_STREQ("", bufUnterminated.GetStringFast());
    EXPECT_TRUE(capture.BContains("Assertion Failed: CUtlBuffer::GetStringFast: no string termination"));
    CUtlBuffer bufText(0, 0, CUtlBuffer::TEXT_BUFFER);
    bufText.PutString("zz");
    EXPECT_STREQ("", bufText.GetStringFast());
    EXPECT_TRUE(capture.BContains("Assertion Failed: CUtlBuffer::GetStringFast: binary buffers only"));
}

TEST(UtlBuffer, TextTypedValuesAndTheFormattedReader)
{
    CUtlBuffer buf(0, 0, CUtlBuffer::TEXT_BUFFER);
    buf.PutInt(-12);
    buf.PutChar(' ');
    buf.PutUnsignedInt(4000000000u);
    buf.PutChar(' ');
    buf.PutInt64(-9000000000ll);
    buf.PutChar(' ');
    buf.PutFloat(2.5f);
    buf.PutString(" word");
    EXPECT_EQ("-12 4000000000 -9000000000 2.500000 word", Data(buf));
    EXPECT_EQ(-12, buf.GetInt());
    EXPECT_EQ(4000000000u, buf.GetUnsignedInt());
    EXPECT_EQ(-9000000000ll, buf.GetInt64());
    EXPECT_EQ(2.5f, buf.GetFloat());
    EXPECT_EQ(' ', buf.GetChar()); // %c takes the next character as it is
    char rgch[8];
    EXPECT_TRUE(buf.GetString(rgch, sizeof(rgch)));
    EXPECT_STREQ("word", rgch);
    // Nothing left: the reader reports the overflow.
    EXPECT_EQ(0, buf.GetInt());
    EXPECT_EQ(CUtlBuffer::GET_OVERFLOW, buf.GetError());

    const char *pchScan = "  17,0x1f 1f -3 010 2.5e1 xyz9 tail";
    CUtlBuffer bufScan(pchScan, (int)strlen(pchScan), CUtlBuffer::READ_ONLY | CUtlBuffer::TEXT_BUFFER);
    int n = 0, nHex = 0, nAuto = 0, nOctal = 0;
    unsigned int unHex = 0;
    float fl = 0;
    char rgchWord[4];
    // The %3s of "xyz9" is cut, and still counts as a conversion.
    EXPECT_EQ(7, bufScan.Scanf("%d,%i %x %d %i %f %3s", &n, &nHex, &unHex, &nAuto, &nOctal, &fl, rgchWord));
    EXPECT_EQ(17, n);
    EXPECT_EQ(31, nHex);
    EXPECT_EQ(31u, unHex);
    EXPECT_EQ(-3, nAuto);
    EXPECT_EQ(8, nOctal);
    EXPECT_EQ(25.0f, fl);
    EXPECT_STREQ("xyz", rgchWord);
    EXPECT_STREQ("tail", (const char *)bufScan.PeekGet(4, 1));

    // A mismatch stops the reader where it is, without an error.
    CUtlBuffer bufStop("abc", 3, CUtlBuffer::READ_ONLY | CUtlBuffer::TEXT_BUFFER);
    EXPECT_EQ(0, bufStop.Scanf("%d", &n));
    EXPECT_EQ(0, bufStop.TellGet());
    EXPECT_TRUE(bufStop.IsValid());

    CSpewCapture capture;
    EXPECT_EQ(0, bufStop.Scanf("%p", &n));
    EXPECT_EQ(std::vector<std::string>{"Assertion Failed: 0\n"}, capture.Assertions());
    capture.Clear();
    EXPECT_EQ(0, bufStop.Scanf("%s", rgchWord));
    EXPECT_EQ(1u, capture.Assertions().size());
}

TEST(UtlBuffer, TextHelpersOnCommentsWhiteSpaceAndStrings)
{
    CUtlBuffer buf("/x // note\n \t next", 18, CUtlBuffer::READ_ONLY | CUtlBuffer::TEXT_BUFFER);
    EXPECT_FALSE(buf.EatCPPComment());
    EXPECT_EQ(0, buf.TellGet());
    EXPECT_EQ(0, buf.PeekWhiteSpace(0));
    EXPECT_EQ(1, buf.PeekWhiteSpace(2));
    EXPECT_TRUE(buf.PeekStringMatch(3, "//", 2));
    EXPECT_FALSE(buf.PeekStringMatch(16, "next", 4)); // would run past the end
    buf.SeekGet(CUtlBuffer::SEEK_HEAD, 3);
    EXPECT_TRUE(buf.EatCPPComment());
    EXPECT_EQ(" \t next", Remaining(buf));
    EXPECT_EQ(5, buf.PeekStringLength());
    buf.EatWhiteSpace();
    EXPECT_EQ("next", Remaining(buf));
    EXPECT_TRUE(buf.IsValid());

    // A comment without a line feed runs to the end.
    CUtlBuffer bufEnd("// all", 6, CUtlBuffer::READ_ONLY | CUtlBuffer::TEXT_BUFFER);
    EXPECT_TRUE(bufEnd.EatCPPComment());
    EXPECT_EQ(0, bufEnd.GetBytesRemaining());
    EXPECT_EQ(0, bufEnd.PeekStringLength());

    // Words longer than the room are cut; the rest of the word is consumed.
    CUtlBuffer bufWords("  alpha\tbeta\n", 13, CUtlBuffer::READ_ONLY | CUtlBuffer::TEXT_BUFFER);
    char rgch[4];
    EXPECT_FALSE(bufWords.GetString(rgch, sizeof(rgch)));
    EXPECT_STREQ("alp", rgch);
    EXPECT_FALSE(bufWords.GetString(rgch, sizeof(rgch)));
    EXPECT_STREQ("bet", rgch);
    EXPECT_FALSE(bufWords.GetString(rgch, sizeof(rgch)));
    EXPECT_STREQ("", rgch);
    EXPECT_EQ(CUtlBuffer::GET_OVERFLOW, bufWords.GetError());

    CUtlBuffer bufLines("one\ntwo long line\nlast", 22, CUtlBuffer::READ_ONLY | CUtlBuffer::TEXT_BUFFER);
    char rgchLine[6];
    EXPECT_TRUE(bufLines.GetLine(rgchLine, sizeof(rgchLine)));
    EXPECT_STREQ("one\n", rgchLine);
    EXPECT_TRUE(bufLines.GetLine(rgchLine, sizeof(rgchLine)));
    EXPECT_STREQ("two l", rgchLine);
    EXPECT_TRUE(bufLines.GetLine(rgchLine, sizeof(rgchLine)));
    EXPECT_STREQ("last", rgchLine);
    EXPECT_FALSE(bufLines.GetLine(rgchLine, sizeof(rgchLine)));
}

TEST(UtlBuffer, DelimitedStringsWithAndWithoutEscapes)
{
    const char *pchText = "  \"a\\tb\\\"c\\\\d\\qe\" \"x\\ny\"";
    CUtlBuffer buf(pchText, (int)strlen(pchText), CUtlBuffer::READ_ONLY | CUtlBuffer::TEXT_BUFFER);
    char rgch[32];
    buf.GetDelimitedString(GetCStringCharConversion(), rgch, sizeof(rgch));
    // \q is no known sequence: it stands for a NUL and the q is read as it is.
    EXPECT_EQ(0, memcmp(rgch, "a\tb\"c\\d\0qe", 11));
    buf.GetDelimitedString(GetNoEscCharConversion(), rgch, sizeof(rgch));
    EXPECT_STREQ("x\\ny", rgch);
    EXPECT_EQ(0, buf.GetBytesRemaining());

    // Without the delimiter at the get position nothing is read; the white space is gone.
    CUtlBuffer bufNone("   word \"q\"", 11, CUtlBuffer::READ_ONLY | CUtlBuffer::TEXT_BUFFER);
    strcpy(rgch, "junk");
    bufNone.GetDelimitedString(GetCStringCharConversion(), rgch, sizeof(rgch));
    EXPECT_STREQ("", rgch);
    EXPECT_EQ(3, bufNone.TellGet());

    // Too long: the rest and the closing delimiter are consumed; the next string follows.
    CUtlBuffer bufLong("\"abcdefghij\"\"k\"", 15, CUtlBuffer::READ_ONLY | CUtlBuffer::TEXT_BUFFER);
    char rgchSmall[5];
    bufLong.GetDelimitedString(GetNoEscCharConversion(), rgchSmall, sizeof(rgchSmall));
    EXPECT_STREQ("abcd", rgchSmall);
    bufLong.GetDelimitedString(GetNoEscCharConversion(), rgchSmall, sizeof(rgchSmall));
    EXPECT_STREQ("k", rgchSmall);

    // An unterminated string ends at the end of the data; an escape at the very end is a NUL.
    CUtlBuffer bufOpen("\"open\\", 6, CUtlBuffer::READ_ONLY | CUtlBuffer::TEXT_BUFFER);
    bufOpen.GetDelimitedString(GetCStringCharConversion(), rgch, sizeof(rgch));
    EXPECT_STREQ("open", rgch);
    EXPECT_EQ(0, bufOpen.GetBytesRemaining());
    EXPECT_TRUE(bufOpen.IsValid());

    // A conversion with an empty delimiter is refused.
    CSpewCapture capture;
    CUtlCharConversion convEmpty(0, "", 0, nullptr);
    CUtlBuffer bufAny("\"a\"", 3, CUtlBuffer::READ_ONLY | CUtlBuffer::TEXT_BUFFER);
    bufAny.GetDelimitedString(&convEmpty, rgch, sizeof(rgch));
    EXPECT_TRUE(capture.BContains("Assertion Failed: pConv && pConv->GetDelimiterLength() > 0"));
    EXPECT_EQ(0, bufAny.TellGet());

    // The conversion tables both ways.
    const CUtlCharConversion *pConv = GetCStringCharConversion();
    EXPECT_STREQ("n", pConv->GetConversionString('\n'));
    EXPECT_EQ(nullptr, pConv->GetConversionString('x'));
    int cch = 0;
    EXPECT_EQ('\'', pConv->FindConversion("'rest", 5, &cch));
    EXPECT_EQ(1, cch);
}

TEST(UtlBuffer, LoadFileIntoBufferReadsWholeFilesAndRefusesNullNames)
{
    CTempDir dir;
    std::string strPath = dir.File("data.txt");
    ASSERT_TRUE(WriteTextFile(strPath, "line one\r\nline two"));
    CUtlBuffer buf(0, 0, 0);
    buf.PutString("stale");
    ASSERT_TRUE(LoadFileIntoBuffer(strPath.c_str(), buf, true));
    EXPECT_TRUE(buf.IsText());
    EXPECT_TRUE(buf.ContainsCRLF());
    EXPECT_EQ(18, buf.TellMaxPut());
    EXPECT_EQ(0, buf.TellGet());
    EXPECT_STREQ("line one\r\nline two", (const char *)buf.Base());

    CUtlBuffer bufBinary;
    ASSERT_TRUE(LoadFileIntoBuffer(strPath.c_str(), bufBinary, false));
    EXPECT_FALSE(bufBinary.IsText());
    EXPECT_EQ('\0', ((const char *)bufBinary.Base())[18]);

    ASSERT_TRUE(WriteTextFile(dir.File("empty.txt"), ""));
    CUtlBuffer bufEmpty;
    EXPECT_TRUE(LoadFileIntoBuffer(dir.File("empty.txt").c_str(), bufEmpty, true));
    EXPECT_EQ(0, bufEmpty.TellMaxPut());

    EXPECT_FALSE(LoadFileIntoBuffer(dir.File("missing.txt").c_str(), buf, true));
    char rgchSmall[4];
    CUtlBuffer bufFixed(rgchSmall, sizeof(rgchSmall), 0);
    EXPECT_FALSE(LoadFileIntoBuffer(strPath.c_str(), bufFixed, true));

    CSpewCapture capture;
    EXPECT_FALSE(LoadFileIntoBuffer(nullptr, buf, true));
    EXPECT_TRUE(capture.BContains("Assertion Failed: LoadFileIntoBuffer: NULL parameters"));
}

TEST(UtlBuffer, AutomaticIndentationAfterLineFeeds)
{
    CUtlBuffer buf(0, 0, CUtlBuffer::TEXT_BUFFER);
    buf.PutString("a\n");
    buf.PushTab();
    buf.PushTab();
    buf.PutString("b\nc");
    buf.PopTab();
    buf.PutChar('\n');
    buf.Printf("%d", 5);
    EXPECT_EQ("a\nb\n\t\tc\n\t5", Data(buf));

    CUtlBuffer bufOff(0, 0, CUtlBuffer::TEXT_BUFFER | CUtlBuffer::AUTO_TABS_DISABLED);
    bufOff.PushTab();
    bufOff.PutString("x\ny");
    EXPECT_EQ("x\ny", Data(bufOff));
}

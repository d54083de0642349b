// Broken language files: whatever can be read is kept, problems are reported, nothing
// crashes and nothing is invented.
#include "localizetestutil.h"

#include "support/scriptedhttpserver.h" // PseudoRandomBytes

#include <algorithm>

namespace
{
typedef std::vector<std::pair<std::string, std::string>> Pairs_t;

const Pairs_t k_Pairs = {{"Alpha", "First text"},
                         {"Beta", "Zweiter Text mit \xc3\xa4\xc3\xb6\xc3\xbc"},
                         {"Gamma", "Third"},
                         {"Delta", "Fourth, the last"}};

// Whether every entry of the table is one of the full file's (a value may be cut short
// where the file was cut, with "?" for a character cut in half).
void ExpectSubsetOfFullTable(ILocalize &table, const std::string &strContext)
{
    for (const auto &entry : DumpTable(table))
    {
        auto it = std::find_if(k_Pairs.begin(), k_Pairs.end(),
                               [&](const auto &p) { return p.first == entry.first; });
        ASSERT_NE(k_Pairs.end(), it) << strContext << ": invented key " << entry.first;
        std::string strValue = entry.second;
        if (it->second.find(strValue) != 0 && !strValue.empty() && strValue.back() == '?')
            strValue.pop_back();
        EXPECT_EQ(0u, it->second.find(strValue))
            << strContext << ": " << entry.first << " = " << entry.second;
    }
}
} // namespace

TEST_F(LocalizeFileTest, EveryTruncationLoadsAPrefixOfTheTable)
{
    const std::string strFull = LanguageFileText("English", k_Pairs);
    // The brace that closes the Tokens block: a cut before it is reported.
    const size_t iTokensEnd = strFull.rfind("\t}\n}") + 1;
    for (ETestEncoding eEncoding : {k_ETestUTF8, k_ETestUTF8WithMark, k_ETestUTF16WithMark})
    {
        const std::string strBytes = EncodeLanguageFile(strFull, eEncoding);
        const size_t cubTokensEnd = eEncoding == k_ETestUTF8 ? iTokensEnd
                                    : eEncoding == k_ETestUTF8WithMark
                                        ? 3 + iTokensEnd
                                        : 2 + 2 * ToU16(strFull.substr(0, iTokensEnd)).size();
        for (size_t cub = 0; cub <= strBytes.size(); ++cub)
        {
            WriteFile("cut.txt", strBytes.substr(0, cub));
            CSpewCapture capture;
            CLocalizedStringTable table;
            ASSERT_TRUE(table.AddFile(&m_FileSystem, "cut.txt"));
            std::string strContext =
                "encoding " + std::to_string(eEncoding) + " cut at " + std::to_string(cub);
            ExpectSubsetOfFullTable(table, strContext);
            if (cub == strBytes.size())
            {
                EXPECT_EQ(4, table.GetStringCount());
                EXPECT_TRUE(capture.Texts().empty());
            }
            else if (cub <= cubTokensEnd)
            {
                EXPECT_TRUE(capture.BContains("\"cut.txt\" ends inside its \"Tokens\" block.\n") ||
                            capture.BContains("\"cut.txt\" has no \"Tokens\" block.\n"))
                    << strContext;
            }
        }
    }
}

TEST_F(LocalizeFileTest, BrokenUTF16IsReadAsFarAsItGoes)
{
    CSpewCapture capture;
    // An odd number of bytes: the last byte stands alone and is reported.
    WriteFile("odd.txt",
              EncodeLanguageFile(LanguageFileText("English", k_Pairs), k_ETestUTF16WithMark) + "x");
    CLocalizedStringTable tableOdd;
    ASSERT_TRUE(tableOdd.AddFile(&m_FileSystem, "odd.txt"));
    EXPECT_EQ(4, tableOdd.GetStringCount());
    EXPECT_TRUE(
        capture.BContains("ILocalize::AddFile() file \"odd.txt\" holds an odd number of UTF-16 bytes.\n"));

    // Garbage after the mark, lone surrogates included: whatever it yields, the table
    // holds only valid memory and the texts convert.
    for (uint32 unSeed = 1; unSeed <= 8; ++unSeed)
    {
        WriteFile("garbage.txt", "\xFF\xFE" + PseudoRandomBytes(64 * 1024 + unSeed, unSeed));
        CLocalizedStringTable table;
        ASSERT_TRUE(table.AddFile(&m_FileSystem, "garbage.txt"));
        for (const auto &entry : DumpTable(table))
            EXPECT_LE(entry.second.size(), 2047u * 3);
    }
    // The same garbage as 8-bit text.
    for (uint32 unSeed = 1; unSeed <= 8; ++unSeed)
    {
        WriteFile("garbage8.txt", "\"lang\" { \"Tokens\" { " + PseudoRandomBytes(64 * 1024, unSeed));
        CLocalizedStringTable table;
        ASSERT_TRUE(table.AddFile(&m_FileSystem, "garbage8.txt"));
    }
    // A mark and nothing else; an empty file.
    WriteFile("mark.txt", "\xFF\xFE");
    WriteFile("empty.txt", "");
    capture.Clear();
    CLocalizedStringTable table;
    EXPECT_TRUE(table.AddFile(&m_FileSystem, "mark.txt"));
    EXPECT_TRUE(table.AddFile(&m_FileSystem, "empty.txt"));
    EXPECT_EQ(0, table.GetStringCount());
    EXPECT_EQ(1, capture.CountContaining("\"mark.txt\" has no \"Tokens\" block"));
    EXPECT_EQ(1, capture.CountContaining("\"empty.txt\" has no \"Tokens\" block"));
}

TEST_F(LocalizeFileTest, UnbalancedQuotesAndBracesKeepWhatCameBefore)
{
    for (ETestEncoding eEncoding : {k_ETestUTF8, k_ETestUTF16WithMark})
    {
        CSpewCapture capture;
        // A quote never closed takes the rest of the file as its text.
        WriteFile("quote.txt",
                  EncodeLanguageFile("\"lang\" { \"Tokens\" { \"a\" \"1\" \"b\" \"2 } }\n", eEncoding));
        CLocalizedStringTable tableQuote;
        ASSERT_TRUE(tableQuote.AddFile(&m_FileSystem, "quote.txt"));
        EXPECT_EQ("1", FindUTF8(tableQuote, "a"));
        EXPECT_EQ("2 } }\n", FindUTF8(tableQuote, "b"));
        EXPECT_TRUE(
            capture.BContains("ILocalize::AddFile() file \"quote.txt\" ends inside its \"Tokens\" block.\n"));

        // One closing brace too many ends the file early.
        WriteFile("braces.txt",
                  EncodeLanguageFile("\"lang\" { \"Tokens\" { \"a\" \"1\" } } } \"b\" \"2\"", eEncoding));
        CLocalizedStringTable tableBraces;
        ASSERT_TRUE(tableBraces.AddFile(&m_FileSystem, "braces.txt"));
        EXPECT_EQ(1, tableBraces.GetStringCount());

        // Braces never closed: the pairs read are kept.
        WriteFile("open.txt",
                  EncodeLanguageFile("\"lang\" { \"Tokens\" { \"a\" \"1\" \"c\" { \"x\" \"y\"", eEncoding));
        CLocalizedStringTable tableOpen;
        ASSERT_TRUE(tableOpen.AddFile(&m_FileSystem, "open.txt"));
        EXPECT_EQ("1", FindUTF8(tableOpen, "a"));
        EXPECT_EQ("{", FindUTF8(tableOpen, "c"));
        EXPECT_EQ("y", FindUTF8(tableOpen, "x"));
        EXPECT_TRUE(capture.BContains("\"open.txt\" ends inside its \"Tokens\" block"));
    }
}

TEST_F(LocalizeFileTest, TheKeyValuesTokenizerReportsItsErrors)
{
    // An unquoted run longer than the tokenizer keeps.
    WriteFile("overflow.txt",
              "\"lang\" { \"Tokens\" { \"a\" \"1\" " + std::string(70000, 'u') + " \"b\" \"2\" } }");
    CSpewCapture capture;
    CLocalizedStringTable table;
    ASSERT_TRUE(table.AddFile(&m_FileSystem, "overflow.txt"));
    EXPECT_TRUE(capture.BContains("KeyValues Error:  ReadToken overflow in file overflow.txt"));
    EXPECT_EQ("1", FindUTF8(table, "a"));
}

TEST_F(LocalizeFileTest, MegabytesOfTextLoad)
{
    // About 3 MB: 20,000 texts, a tenth of them the same.
    std::string strText = "\"lang\" { \"Language\" \"English\" \"Tokens\" {\n";
    for (int i = 0; i < 20000; ++i)
    {
        std::string strValue =
            i % 10 == 0 ? std::string(100, 's') : std::to_string(i) + std::string(140, 'x');
        strText += "\"Token_" + std::to_string(i) + "\" \"" + strValue + "\"\n";
    }
    strText += "} }\n";
    ASSERT_GT(strText.size(), 3000000u);
    for (ETestEncoding eEncoding : {k_ETestUTF8, k_ETestUTF16WithMark})
    {
        WriteFile("big.txt", EncodeLanguageFile(strText, eEncoding));
        CLocalizedStringTable table;
        ASSERT_TRUE(table.AddFile(&m_FileSystem, "big.txt"));
        EXPECT_EQ(20000, table.GetStringCount());
        EXPECT_EQ(std::string(100, 's'), FindUTF8(table, "token_19990"));
        EXPECT_EQ("19999" + std::string(140, 'x'), FindUTF8(table, "#TOKEN_19999"));
        EXPECT_EQ(table.FindText("Token_0"), table.FindText("Token_10"));
        EXPECT_EQ(0, table.GetValuePoolAllocated() % CLocalizedStringTable::k_cchValuePoolGrowStep);
        EXPECT_EQ(0, table.GetNamePoolAllocated() % CLocalizedStringTable::k_cchNamePoolGrowStep);
    }

    // One quoted text of megabytes: kept to 2047 characters.
    WriteFile("huge.txt",
              "\"lang\" { \"Tokens\" { \"huge\" \"" + std::string(3 << 20, 'h') + "\" \"after\" \"a\" } }");
    CSpewCapture capture;
    CLocalizedStringTable table;
    ASSERT_TRUE(table.AddFile(&m_FileSystem, "huge.txt"));
    EXPECT_EQ(std::string(2047, 'h'), FindUTF8(table, "huge"));
    EXPECT_EQ("a", FindUTF8(table, "after"));
}

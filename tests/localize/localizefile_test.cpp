// Loading language files: the user's language over English, encodings, the two tokenizers
// and their limits, saving, reloading.
#include "localizetestutil.h"

namespace
{
const char k_pchEnglishName[] = "public/ferrobootstrapper_english.txt";
const char k_pchGermanName[] = "public/ferrobootstrapper_german.txt";
const char k_pchPattern[] = "public/ferrobootstrapper_%language%.txt";

typedef std::vector<std::pair<std::string, std::string>> Pairs_t;
} // namespace

TEST_F(LocalizeFileTest, UserLanguageOverEnglishWithEnglishFillingTheGaps)
{
    WriteFile(k_pchEnglishName,
              LanguageFileText("English", {{"FerroBootstrapper_OnlyEnglish", "Only English"},
                                           {"FerroBootstrapper_Both", "Both, English"}}));
    WriteFile(
        k_pchGermanName,
        EncodeLanguageFile(LanguageFileText("German", {{"FerroBootstrapper_Both", "Beide, Deutsch"},
                                                       {"FerroBootstrapper_OnlyGerman", "Nur Deutsch"}}),
                           k_ETestUTF16WithMark));
    SetUserLanguage("german");
    CLocalizedStringTable table;
    ASSERT_TRUE(table.AddFile(&m_FileSystem, k_pchPattern));
    EXPECT_EQ("Only English", FindUTF8(table, "#FerroBootstrapper_OnlyEnglish"));
    EXPECT_EQ("Beide, Deutsch", FindUTF8(table, "#FerroBootstrapper_Both"));
    EXPECT_EQ("Nur Deutsch", FindUTF8(table, "#FerroBootstrapper_OnlyGerman"));
    EXPECT_STREQ("German", table.GetFileLanguage());

    // English first, then German, each under its name with backslashes.
    ASSERT_EQ(2, table.GetFileCount());
    EXPECT_STREQ("public\\ferrobootstrapper_english.txt", table.GetFileName(0));
    EXPECT_STREQ("public\\ferrobootstrapper_german.txt", table.GetFileName(1));
    EXPECT_EQ(nullptr, table.GetFileName(2));
    EXPECT_STREQ("public\\ferrobootstrapper_english.txt",
                 table.GetFileNameByIndex(table.FindIndex("FerroBootstrapper_OnlyEnglish")));
    EXPECT_STREQ("public\\ferrobootstrapper_german.txt",
                 table.GetFileNameByIndex(table.FindIndex("FerroBootstrapper_Both")));
    // An entry added outside a load belongs to no file.
    table.AddString("loose", u"x", nullptr);
    EXPECT_EQ(nullptr, table.GetFileNameByIndex(table.FindIndex("loose")));
    table.AddString("named", u"x", "some/where.txt");
    EXPECT_STREQ("some\\where.txt", table.GetFileNameByIndex(table.FindIndex("named")));
}

TEST_F(LocalizeFileTest, OnlyEnglishWithoutALanguageOrWithEnglishOrEmpty)
{
    WriteFile(k_pchEnglishName, LanguageFileText("English", {{"Both", "English"}}));
    WriteFile(k_pchGermanName, LanguageFileText("German", {{"Both", "Deutsch"}}));
    for (const char *pchLanguage : {(const char *)nullptr, "ENGLISH", ""})
    {
        if (pchLanguage)
            SetUserLanguage(pchLanguage);
        CLocalizedStringTable table;
        ASSERT_TRUE(table.AddFile(&m_FileSystem, k_pchPattern));
        EXPECT_EQ(1, table.GetFileCount()) << (pchLanguage ? pchLanguage : "no value");
        EXPECT_EQ("English", FindUTF8(table, "Both"));
    }

    // A language without a file: English stays, the missing file is named, English's
    // result counts.
    SetUserLanguage("french");
    CSpewCapture capture;
    CLocalizedStringTable table;
    EXPECT_TRUE(table.AddFile(&m_FileSystem, k_pchPattern));
    EXPECT_EQ("English", FindUTF8(table, "Both"));
    EXPECT_TRUE(capture.BContains("ILocalize::AddFile() failed to load file "
                                  "\"public\\ferrobootstrapper_french.txt\".\n"));

    // Without the English file the call fails, though the language file loads.
    SetUserLanguage("german");
    PLAT_DeleteFile(m_Dir.File(k_pchEnglishName).c_str());
    CLocalizedStringTable tableNoEnglish;
    EXPECT_FALSE(tableNoEnglish.AddFile(&m_FileSystem, k_pchPattern));
    EXPECT_EQ("Deutsch", FindUTF8(tableNoEnglish, "Both"));
    EXPECT_FALSE(tableNoEnglish.AddFile(&m_FileSystem, "public/none.txt"));
    EXPECT_EQ(1, tableNoEnglish.GetFileCount());
}

TEST_F(LocalizeFileTest, EnglishSourceKeysAreStoredOnlyFromTheEnglishFile)
{
    const Pairs_t pairs = {{"Token", "Text"}, {"[english]Token", "Source"}, {"[ENGLISH]Other", "Source 2"}};
    WriteFile(k_pchEnglishName, LanguageFileText("English", pairs));
    WriteFile(k_pchGermanName, EncodeLanguageFile(LanguageFileText("German", pairs), k_ETestUTF16WithMark));
    WriteFile("public/Game_ENGLISH.TXT", LanguageFileText("English", pairs));

    for (const char *pchName : {k_pchGermanName, k_pchEnglishName, "public/Game_ENGLISH.TXT"})
    {
        CLocalizedStringTable table;
        ASSERT_TRUE(table.AddFile(&m_FileSystem, pchName));
        bool bEnglish = pchName != k_pchGermanName;
        EXPECT_EQ(bEnglish ? 3 : 1, table.GetStringCount()) << pchName;
        EXPECT_EQ(bEnglish ? "Source" : "<null>", FindUTF8(table, "[english]token")) << pchName;
        EXPECT_EQ("Text", FindUTF8(table, "token"));
    }
}

TEST_F(LocalizeFileTest, EveryEncodingLoadsTheSameTable)
{
    // Escapes that both tokenizers know, text beyond Latin-1, a surrogate pair, comments.
    const std::string strText = "// a comment line\n"
                                "\"lang\"\n{\n\t\"Language\"\t\"German\"\n\t\"Tokens\"\n\t{\n"
                                "\t\t\"Greeting\"\t\"Gr\xc3\xbc\xc3\x9f"
                                "e \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80\"\n"
                                "\t\t// another comment\n"
                                "\t\t\"Quote\"\t\"say \\\"hi\\\"\\nnext line\"\n"
                                "\t\t\"Spaced\"\t\"  two  blanks  \"\n"
                                "\t\t\"Empty\"\t\"\"\n"
                                "\t\tUnquoted\tword\n"
                                "\t}\n}\n";
    const Pairs_t expected = {{"Empty", ""},
                              {"Greeting", "Gr\xc3\xbc\xc3\x9f"
                                           "e \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80"},
                              {"Quote", "say \"hi\"\nnext line"},
                              {"Spaced", "  two  blanks  "},
                              {"Unquoted", "word"}};
    for (ETestEncoding eEncoding : {k_ETestUTF8, k_ETestUTF8WithMark, k_ETestUTF16WithMark, k_ETestUTF16})
    {
        for (bool bWindowsLines : {false, true})
        {
            std::string strSource = strText;
            if (bWindowsLines)
            {
                std::string strCRLF;
                for (char ch : strSource)
                    strCRLF += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
                strSource = strCRLF;
            }
            WriteFile("lang.txt", EncodeLanguageFile(strSource, eEncoding));
            CSpewCapture capture;
            CLocalizedStringTable table;
            ASSERT_TRUE(table.AddFile(&m_FileSystem, "lang.txt"));
            EXPECT_EQ(expected, DumpTable(table)) << "encoding " << eEncoding << " CR LF " << bWindowsLines;
            EXPECT_STREQ("German", table.GetFileLanguage());
            EXPECT_TRUE(capture.Texts().empty()) << (capture.Texts().empty() ? "" : capture.Texts()[0]);
        }
    }

    // A mark written twice (one in the text itself) is still only a mark.
    WriteFile("lang.txt", "\xFF\xFE" + UTF16LEBytes("\xEF\xBB\xBF" + strText));
    CLocalizedStringTable table;
    ASSERT_TRUE(table.AddFile(&m_FileSystem, "lang.txt"));
    EXPECT_EQ(expected, DumpTable(table));
}

TEST_F(LocalizeFileTest, TheTokenizersDifferInEscapesAndCarriageReturnsAreDropped)
{
    const std::string strText = "\"lang\" { \"Tokens\" { \"Tab\" \"a\\tb\" \"Slash\" \"c:\\\\dir\" "
                                "\"Lines\" \"one\r\ntwo\r\n\" } }";
    WriteFile("eight.txt", strText);
    WriteFile("wide.txt", EncodeLanguageFile(strText, k_ETestUTF16WithMark));
    CLocalizedStringTable tableEight;
    ASSERT_TRUE(tableEight.AddFile(&m_FileSystem, "eight.txt"));
    EXPECT_EQ("a\tb", FindUTF8(tableEight, "Tab"));
    EXPECT_EQ("c:\\dir", FindUTF8(tableEight, "Slash"));
    EXPECT_EQ("one\ntwo\n", FindUTF8(tableEight, "Lines"));
    // UTF-16 files know only backslash-n and backslash-quote; other backslashes stay.
    CLocalizedStringTable tableWide;
    ASSERT_TRUE(tableWide.AddFile(&m_FileSystem, "wide.txt"));
    EXPECT_EQ("a\\tb", FindUTF8(tableWide, "Tab"));
    EXPECT_EQ("c:\\\\dir", FindUTF8(tableWide, "Slash"));
    EXPECT_EQ("one\ntwo\n", FindUTF8(tableWide, "Lines"));
}

TEST_F(LocalizeFileTest, WideTokensAreCutAt127And2047UnitsAndTheRestIsTheNextToken)
{
    auto Load = [&](const Pairs_t &pairs, CLocalizedStringTable &table)
    {
        WriteFile("wide.txt", EncodeLanguageFile(LanguageFileText("English", pairs), k_ETestUTF16WithMark));
        ASSERT_TRUE(table.AddFile(&m_FileSystem, "wide.txt"));
    };
    CSpewCapture capture;

    // Keys: 127 units fit; the 128th becomes the value, and the pairs after it shift.
    CLocalizedStringTable tableKeys;
    Load({{std::string(127, 'K'), "fits"}, {std::string(127, 'Y') + "Z", "after"}, {"x", "y"}}, tableKeys);
    EXPECT_EQ("fits", FindUTF8(tableKeys, std::string(127, 'K').c_str()));
    EXPECT_EQ("Z", FindUTF8(tableKeys, std::string(127, 'Y').c_str()));
    EXPECT_EQ("x", FindUTF8(tableKeys, "after"));
    EXPECT_EQ("}", FindUTF8(tableKeys, "y"));
    EXPECT_EQ(1, capture.CountContaining("ILocalize::AddFile() file \"wide.txt\": token longer than 127 "
                                         "characters cut, the rest read on [offset: "));

    // Values: 2047 units fit; the rest of a longer one is the next key.
    CLocalizedStringTable tableValues;
    Load({{"v2047", std::string(2047, 'v')}, {"v2048", std::string(2047, 'w') + "R"}, {"next", "n"}},
         tableValues);
    EXPECT_EQ(std::string(2047, 'v'), FindUTF8(tableValues, "v2047"));
    EXPECT_EQ(std::string(2047, 'w'), FindUTF8(tableValues, "v2048"));
    EXPECT_EQ("next", FindUTF8(tableValues, "R"));
    EXPECT_EQ(1, capture.CountContaining("token longer than 2047 characters cut"));

    // A surrogate pair at the limit is not split: it goes whole to the next token.
    CLocalizedStringTable tablePair;
    Load({{std::string(126, 'P') + "\xf0\x9f\x98\x80", "z"}}, tablePair);
    EXPECT_EQ("\xf0\x9f\x98\x80", FindUTF8(tablePair, std::string(126, 'P').c_str()));
    EXPECT_EQ(2, capture.CountContaining("token longer than 127 characters cut"));
}

TEST_F(LocalizeFileTest, EightBitTokensAreCutAt127And2047Bytes)
{
    const std::string strValue2048 =
        std::string(2046, 'a') + "\xc3\xbc"; // the cut would split the last character
    const std::string strText = LanguageFileText("English", {{std::string(127, 'K'), "fits"},
                                                             {std::string(128, 'L'), "cut"},
                                                             {"v2047", std::string(2047, 'v')},
                                                             {"v2048", std::string(2048, 'w')},
                                                             {"split", strValue2048},
                                                             {"after", "still read"}});
    WriteFile("eight.txt", strText);
    CSpewCapture capture;
    CLocalizedStringTable table;
    ASSERT_TRUE(table.AddFile(&m_FileSystem, "eight.txt"));
    EXPECT_EQ("fits", FindUTF8(table, std::string(127, 'K').c_str()));
    EXPECT_EQ("cut", FindUTF8(table, std::string(127, 'L').c_str()));
    EXPECT_EQ(std::string(2047, 'v'), FindUTF8(table, "v2047"));
    EXPECT_EQ(std::string(2047, 'w'), FindUTF8(table, "v2048"));
    EXPECT_EQ(std::string(2046, 'a'), FindUTF8(table, "split"));
    EXPECT_EQ("still read", FindUTF8(table, "after"));
    EXPECT_EQ(1, capture.CountContaining("key longer than 127 bytes cut"));
    EXPECT_EQ(2, capture.CountContaining("value longer than 2047 bytes cut"));
}

TEST_F(LocalizeFileTest, IdenticalTextsOfALoadShareOneCopy)
{
    CLocalizedStringTable table;
    table.AddString("before", u"Shared text", nullptr);
    WriteFile("share.txt",
              LanguageFileText("English", {{"a", "Shared text"}, {"b", "Other"}, {"c", "Other"}}));
    int cBefore = table.GetValuePoolCount();
    ASSERT_TRUE(table.AddFile(&m_FileSystem, "share.txt"));
    EXPECT_EQ(cBefore + 6, table.GetValuePoolCount()) << "only \"Other\" is new";
    EXPECT_EQ(table.FindText("before"), table.FindText("a"));
    EXPECT_EQ(table.FindText("b"), table.FindText("c"));
    // A reload finds every text already there.
    int cAfter = table.GetValuePoolCount();
    table.ReloadFiles();
    EXPECT_EQ(cAfter, table.GetValuePoolCount());
}

TEST_F(LocalizeFileTest, SavedFileHasItsLayoutAndReloadsToTheSameTable)
{
    const std::string strPath = m_Dir.File("saved.txt");
    WriteFile("saved.txt", LanguageFileText("German", {{"b", "Zwei \\\"quoted\\\""},
                                                       {"A", "Eins\\nzweite Zeile"},
                                                       {"c", "Gr\xc3\xbc\xc3\x9f"
                                                             "e"}}));
    CLocalizedStringTable table;
    ASSERT_TRUE(table.AddFile(&m_FileSystem, strPath.c_str()));
    table.AddString("loose", u"not in the file", nullptr);
    const Pairs_t original = DumpTable(table);

    ASSERT_TRUE(table.SaveToFile(strPath.c_str()));
    const std::string strExpected = "\xFF\xFE" + UTF16LEBytes("\"lang\"\r\n{\r\n\"Language\" \"English\"\r\n"
                                                              "\"Tokens\"\r\n{\r\n"
                                                              "\t\"A\"\t\t\"Eins\nzweite Zeile\"\r\n"
                                                              "\t\"b\"\t\t\"Zwei \\\"quoted\\\"\"\r\n"
                                                              "\t\"c\"\t\t\"Gr\xc3\xbc\xc3\x9f"
                                                              "e\"\r\n"
                                                              "}\r\n}\r\n");
    EXPECT_EQ(strExpected, ReadBinaryFile(strPath));

    CLocalizedStringTable tableReloaded;
    ASSERT_TRUE(tableReloaded.AddFile(&m_FileSystem, strPath.c_str()));
    Pairs_t expected = original;
    expected.erase(
        std::remove_if(expected.begin(), expected.end(), [](const auto &p) { return p.first == "loose"; }),
        expected.end());
    EXPECT_EQ(expected, DumpTable(tableReloaded));

    // A file that supplied nothing gets the frame only; a folder that is not there fails.
    ASSERT_TRUE(table.SaveToFile(m_Dir.File("empty.txt").c_str()));
    EXPECT_EQ("\xFF\xFE" +
                  UTF16LEBytes("\"lang\"\r\n{\r\n\"Language\" \"English\"\r\n\"Tokens\"\r\n{\r\n}\r\n}\r\n"),
              ReadBinaryFile(m_Dir.File("empty.txt")));
    EXPECT_FALSE(table.SaveToFile(m_Dir.File("missing/x.txt").c_str()));
}

TEST_F(LocalizeFileTest, ReloadingFollowsTheFileList)
{
    WriteFile("one.txt", LanguageFileText("English", {{"k", "one"}, {"only1", "1"}}));
    WriteFile("two.txt", LanguageFileText("English", {{"k", "two"}}));
    CLocalizedStringTable table;
    ASSERT_TRUE(table.AddFile(&m_FileSystem, "one.txt"));
    ASSERT_TRUE(table.AddFile(&m_FileSystem, "two.txt"));
    EXPECT_EQ("two", FindUTF8(table, "k"));
    // Loaded again: the file moves to the end of the list and wins.
    ASSERT_TRUE(table.AddFile(&m_FileSystem, "one.txt"));
    ASSERT_EQ(2, table.GetFileCount());
    EXPECT_STREQ("two.txt", table.GetFileName(0));
    EXPECT_STREQ("one.txt", table.GetFileName(1));
    EXPECT_EQ("one", FindUTF8(table, "k"));

    // Changed on disk, reloaded through either name in any spelling, in list order.
    WriteFile("two.txt", LanguageFileText("English", {{"k", "two, changed"}, {"new", "n"}}));
    CSpewCapture capture;
    EXPECT_TRUE(table.ReloadFile("TWO.TXT"));
    EXPECT_TRUE(capture.BContains("reloading localization file TWO.TXT\n"));
    EXPECT_EQ("one", FindUTF8(table, "k"));
    EXPECT_EQ("n", FindUTF8(table, "new"));
    EXPECT_EQ("1", FindUTF8(table, "only1"));
    EXPECT_FALSE(table.ReloadFile("three.txt"));
    EXPECT_EQ(1, capture.CountContaining("reloading localization file"));

    table.RemoveAll();
    EXPECT_EQ(0, table.GetFileCount());
    EXPECT_FALSE(table.ReloadFile("one.txt"));
}

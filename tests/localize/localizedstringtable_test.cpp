// The table itself: names, values, pools, iteration, construction and the language.
#include "localizetestutil.h"

#include "foundation/keyvalues.h"
#include "localize/localizefilesymbols.h"

#include <cstring>

namespace
{
std::string Construct(ILocalize &table, const char *pchToken, KeyValues *pVariables, int cubOut = 512)
{
    std::vector<wchar16> vecOut((size_t)cubOut / 2 + 1, u'#');
    table.ConstructString(vecOut.data(), cubOut, pchToken, pVariables);
    return ToUTF8(vecOut.data());
}
} // namespace

TEST(LocalizedStringTable, TokenFoundWithAndWithoutHashInAnyCase)
{
    CLocalizedStringTable table;
    table.AddString("FerroBootstrapper_UpdateChecking", u"Checking", nullptr);
    LocalizeStringIndex_t nIndex = table.FindIndex("FerroBootstrapper_UpdateChecking");
    ASSERT_NE(k_nInvalidLocalizeStringIndex, nIndex);
    EXPECT_EQ(nIndex, table.FindIndex("#FerroBootstrapper_UpdateChecking"));
    EXPECT_EQ(nIndex, table.FindIndex("#ferrobootstrapper_updatechecking"));
    EXPECT_EQ(nIndex, table.FindIndex("FERROBOOTSTRAPPER_UPDATECHECKING"));
    // Only one hash sign is ignored.
    EXPECT_EQ(k_nInvalidLocalizeStringIndex, table.FindIndex("##FerroBootstrapper_UpdateChecking"));
    EXPECT_EQ(k_nInvalidLocalizeStringIndex, table.FindIndex("FerroBootstrapper_UpdateCheckin"));
    EXPECT_EQ(k_nInvalidLocalizeStringIndex, table.FindIndex(nullptr));

    // Added again under another spelling: the same entry, the first spelling kept.
    table.AddString("#FERROBOOTSTRAPPER_UPDATECHECKING", u"Suche", nullptr);
    EXPECT_EQ(1, table.GetStringCount());
    EXPECT_EQ(nIndex, table.FindIndex("#FerroBootstrapper_UpdateChecking"));
    EXPECT_STREQ("FerroBootstrapper_UpdateChecking", table.GetNameByIndex(nIndex));
    EXPECT_EQ("Suche", FindUTF8(table, "#ferrobootstrapper_UPDATECHECKING"));

    EXPECT_EQ(nullptr, table.GetValueByIndex(-1));
    EXPECT_EQ(nullptr, table.GetValueByIndex(1));
    EXPECT_EQ(nullptr, table.GetNameByIndex(-1));
    EXPECT_EQ(nullptr, table.FindText("#Nothing"));
}

TEST(LocalizedStringTable, IterationIsInNameOrderWithoutRegardToCase)
{
    CLocalizedStringTable table;
    EXPECT_EQ(k_nInvalidLocalizeStringIndex, table.GetFirstStringIndex());
    for (const char *pchName : {"beta", "Alpha", "gamma", "_under", "ALPHA2", "Beta1"})
        table.AddString(pchName, u"x", nullptr);
    std::vector<std::string> vecNames;
    for (const auto &entry : DumpTable(table))
        vecNames.push_back(entry.first);
    // Letters compare as lower case, so "_" (0x5F) comes before them.
    std::vector<std::string> vecExpected = {"_under", "Alpha", "ALPHA2", "beta", "Beta1", "gamma"};
    EXPECT_EQ(vecExpected, vecNames);
    EXPECT_EQ(k_nInvalidLocalizeStringIndex, table.GetNextStringIndex(table.FindIndex("gamma")));
    EXPECT_EQ(k_nInvalidLocalizeStringIndex, table.GetNextStringIndex(42));
}

TEST(LocalizedStringTable, ValuesLoseTheirCarriageReturnsAndPoolsGrowInSteps)
{
    CLocalizedStringTable table;
    table.AddString("crlf", u"one\r\ntwo\r\n\rthree\r", nullptr);
    EXPECT_EQ("one\ntwo\nthree", FindUTF8(table, "crlf"));
    EXPECT_EQ(2048, table.GetValuePoolAllocated());
    EXPECT_EQ(1024, table.GetNamePoolAllocated());

    // A text longer than one step takes as many whole steps as it needs.
    std::u16string wstrLong(3000, u'v');
    table.AddString("long", wstrLong.c_str(), nullptr);
    EXPECT_EQ(4096, table.GetValuePoolAllocated());
    std::string strLongName(1500, 'n');
    table.AddString(strLongName.c_str(), u"", nullptr);
    EXPECT_EQ(2048, table.GetNamePoolAllocated());
    EXPECT_EQ(ToUTF8(wstrLong.c_str()), FindUTF8(table, "long"));
    EXPECT_EQ("", FindUTF8(table, strLongName.c_str()));

    // Outside a load identical texts are stored again; a replaced text stays in the pool.
    int cBefore = table.GetValuePoolCount();
    table.AddString("a", u"same", nullptr);
    table.AddString("b", u"same", nullptr);
    EXPECT_EQ(cBefore + 10, table.GetValuePoolCount());
    table.AddString("a", u"other", nullptr);
    EXPECT_EQ(cBefore + 16, table.GetValuePoolCount());
    EXPECT_EQ("same", FindUTF8(table, "b"));

    // A text taken from the pool itself survives the pool's growth.
    table.AddString("copy", table.FindText("long"), nullptr);
    EXPECT_EQ(FindUTF8(table, "long"), FindUTF8(table, "copy"));

    table.RemoveAll();
    EXPECT_EQ(0, table.GetStringCount());
    EXPECT_EQ(0, table.GetValuePoolCount());
    EXPECT_EQ(0, table.GetNamePoolCount());
    EXPECT_EQ(k_nInvalidLocalizeStringIndex, table.FindIndex("crlf"));
    table.AddString("again", u"x", nullptr);
    EXPECT_EQ("x", FindUTF8(table, "again"));
}

TEST(LocalizedStringTable, SetValueByIndexOverwritesOnlyWhatIsItsOwn)
{
    CLocalizedStringTable table;
    table.AddString("k", u"long value", nullptr);
    LocalizeStringIndex_t nIndex = table.FindIndex("k");
    const wchar16 *pwchBefore = table.GetValueByIndex(nIndex);
    int cPool = table.GetValuePoolCount();
    table.SetValueByIndex(nIndex, u"short");
    EXPECT_EQ(pwchBefore, table.GetValueByIndex(nIndex)) << "no longer than the old text: in place";
    EXPECT_EQ(cPool, table.GetValuePoolCount());
    EXPECT_EQ("short", FindUTF8(table, "k"));
    table.SetValueByIndex(nIndex, u"a much longer value");
    EXPECT_EQ(cPool + 20, table.GetValuePoolCount());
    EXPECT_EQ("a much longer value", FindUTF8(table, "k"));
    // Its own text (in the pool) as the new text.
    table.SetValueByIndex(nIndex, table.GetValueByIndex(nIndex) + 7);
    EXPECT_EQ("longer value", FindUTF8(table, "k"));

    // Two entries sharing one text (identical texts of one file): changing one leaves the
    // other as it was.
    CTempDir dir;
    std::string strPath = dir.File("shared.txt");
    ASSERT_TRUE(WriteBinaryFile(strPath, LanguageFileText("English", {{"one", "Same"}, {"two", "Same"}})));
    CSpewCapture capture;
    ASSERT_TRUE(table.AddFile(nullptr, strPath.c_str()));
    ASSERT_EQ(table.FindText("one"), table.FindText("two"));
    table.SetValueByIndex(table.FindIndex("one"), u"Sam");
    EXPECT_EQ("Sam", FindUTF8(table, "one"));
    EXPECT_EQ("Same", FindUTF8(table, "two"));

    table.SetValueByIndex(-1, u"x");
    EXPECT_EQ(1, capture.CountContaining("Assertion Failed: CLocalizedStringTable::SetValueByIndex"));
}

TEST(LocalizedStringTable, VariablesPercentSignsAndTruncation)
{
    CLocalizedStringTable table;
    table.AddString("title", u"%appname%", nullptr);
    table.AddString("mixed", u"100%% of %appname% (%s1) 50% off 20% more %missing%!", nullptr);
    table.AddString("longname", u"[%abcdefghijklmnopqrstuvwxyz0123456789%]", nullptr);
    table.AddString("number", u"%nMegaBytes%MB", nullptr);
    table.AddString("unclosed", u"%appname", nullptr);

    CKeyValuesAutoDelete pVars("locvars");
    pVars->SetString("appname", "Arvo Launcher");
    pVars->SetString("abcdefghijklmnopqrstuvwxyz01234", "cut");
    pVars->SetInt("nMegaBytes", 100);

    EXPECT_EQ("Arvo Launcher", Construct(table, "#title", pVars.Get()));
    EXPECT_EQ("100% of Arvo Launcher (%s1) 50% off 20% more !", Construct(table, "mixed", pVars.Get()));
    EXPECT_EQ("[cut]", Construct(table, "longname", pVars.Get())) << "names are looked up by 31 characters";
    EXPECT_EQ("100MB", Construct(table, "number", pVars.Get()));
    EXPECT_EQ(KeyValues::TYPE_WSTRING, pVars->FindKey("nMegaBytes")->GetDataType());
    EXPECT_EQ("%appname", Construct(table, "unclosed", pVars.Get()));
    // Without variables the names stay; "%%" still gives one.
    EXPECT_EQ("100% of %appname% (%s1) 50% off 20% more %missing%!", Construct(table, "mixed", nullptr));
    // A token not in the table gives itself.
    EXPECT_EQ("#FerroBootstrapper_Missing", Construct(table, "#FerroBootstrapper_Missing", pVars.Get()));

    // Sizes in bytes: 8 bytes hold three characters and the NUL; a variable is cut to the
    // room left minus one.
    table.AddString("abc", u"abcdef", nullptr);
    table.AddString("var", u"x%appname%y", nullptr);
    EXPECT_EQ("abc", Construct(table, "abc", pVars.Get(), 8));
    EXPECT_EQ("xArv", Construct(table, "var", pVars.Get(), 10));
    EXPECT_EQ("", Construct(table, "abc", pVars.Get(), 2));
    wchar16 rgwch[4] = {u'#', u'#', u'#', 0};
    table.ConstructString(rgwch, 1, table.FindIndex("abc"), pVars.Get());
    table.ConstructString(rgwch, 0, table.FindIndex("abc"), pVars.Get());
    EXPECT_EQ(u'#', rgwch[0]) << "a size below one character writes nothing";

    wchar16 rgwchUnknown[8];
    table.ConstructString(rgwchUnknown, sizeof(rgwchUnknown), -1, pVars.Get());
    EXPECT_EQ("[unknow", ToUTF8(rgwchUnknown));
    wchar16 rgwchUnknownAll[32];
    table.ConstructString(rgwchUnknownAll, sizeof(rgwchUnknownAll), 99, nullptr);
    EXPECT_EQ("[unknown string]", ToUTF8(rgwchUnknownAll));
}

TEST(LocalizedStringTable, PositionalArguments)
{
    CLocalizedStringTable table;
    wchar16 rgwch[64];
    auto Out = [&]() { return ToUTF8(rgwch); };

    table.ConstructString(rgwch, sizeof(rgwch), u"%s1 and %s2.", 2, u"one", u"two");
    EXPECT_EQ("one and two.", Out());
    table.ConstructString(rgwch, sizeof(rgwch), u"%s2 before %s1", 2, u"one", u"two");
    EXPECT_EQ("two before one", Out());
    // One argument: the reference to the second stays as written.
    table.ConstructString(rgwch, sizeof(rgwch), u"%s1 and %s2.", 1, u"one");
    EXPECT_EQ("one and %s2.", Out());
    // The tenth argument is "%s:".
    table.ConstructString(rgwch, sizeof(rgwch), u"<%s:|%s9>", 10, u"1", u"2", u"3", u"4", u"5", u"6", u"7",
                          u"8", u"9", u"10");
    EXPECT_EQ("<10|9>", Out());
    // Plain percent signs are text here.
    table.ConstructString(rgwch, sizeof(rgwch), u"100%% %d %", 0);
    EXPECT_EQ("100%% %d %", Out());
    table.ConstructString(rgwch, sizeof(rgwch), nullptr, 0);
    EXPECT_EQ("", Out());

    {
        CSpewCapture capture;
        for (const char16_t *pwchFormat : {u"ab%s0cd", u"ab%sxcd", u"ab%s"})
        {
            table.ConstructString(rgwch, sizeof(rgwch), pwchFormat, 1, u"one");
            EXPECT_EQ("ab", Out()) << ToUTF8(pwchFormat);
        }
        EXPECT_EQ(3, capture.CountContaining("Bad format string in CLocalizeStringTable::ConstructString\n"));

        table.ConstructString(rgwch, sizeof(rgwch), u"x%s1y", 1, (const wchar16 *)nullptr);
        EXPECT_EQ("x", Out());
        std::vector<std::string> vecAsserts = capture.Assertions();
        ASSERT_EQ(1u, vecAsserts.size());
        EXPECT_NE(std::string::npos,
                  vecAsserts[0].find(
                      "Assertion Failed: CLocalizedStringTable::ConstructString - Found a %s# escape "
                      "sequence who's index was more than the number of args."));
    }

    // An argument leaves three units of room behind it; the text goes on while two remain.
    wchar16 rgwchSmall[8];
    table.ConstructString(rgwchSmall, sizeof(rgwchSmall), u"%s1", 1, u"abcdefghij");
    EXPECT_EQ("abcde", ToUTF8(rgwchSmall));
    table.ConstructString(rgwchSmall, sizeof(rgwchSmall), u"%s1xyz", 1, u"abcdefghij");
    EXPECT_EQ("abcdexy", ToUTF8(rgwchSmall));
    table.ConstructString(rgwchSmall, sizeof(rgwchSmall), u"0123456789", 0);
    EXPECT_EQ("0123456", ToUTF8(rgwchSmall));
    // Never half a surrogate pair.
    table.ConstructString(rgwchSmall, sizeof(rgwchSmall), u"%s1", 1, u"abcd\U0001F600");
    EXPECT_EQ("abcd", ToUTF8(rgwchSmall));
}

TEST(LocalizedStringTable, FindAsUTF8ConversionsAndTheSpareSlots)
{
    CLocalizedStringTable table;
    table.AddString("greeting", u"Gr\u00fc\u00dfe \U0001F600", nullptr);
    EXPECT_STREQ("Gr\xc3\xbc\xc3\x9f"
                 "e \xf0\x9f\x98\x80",
                 table.FindAsUTF8("#greeting"));
    const char *pchToken = "#FerroBootstrapper_Missing";
    EXPECT_EQ(pchToken, table.FindAsUTF8(pchToken));

    // Invalid input becomes "?" both ways.
    wchar16 rgwch[16];
    EXPECT_EQ(8, table.ConvertUTF8ToUnicode("a\xff"
                                            "b",
                                            rgwch, sizeof(rgwch)));
    EXPECT_EQ("a?b", ToUTF8(rgwch));
    char rgch[16];
    const wchar16 rgwchLone[] = {u'a', 0xD800, u'b', 0};
    table.ConvertUnicodeToUTF8(rgwchLone, rgch, sizeof(rgch));
    EXPECT_STREQ("a?b", rgch);

    ILocalize &localize = table;
    EXPECT_FALSE(localize.BReserved23());
    EXPECT_FALSE(localize.BReserved24());
    EXPECT_FALSE(localize.BReserved25());
    EXPECT_FALSE(localize.BReserved26());
    EXPECT_NE(nullptr, Localize());
    EXPECT_EQ(Localize(), Localize());
}

TEST_F(LocalizeFileTest, LanguageComesFromTheRegistryOnceWithEnglishWhenAbsent)
{
    {
        CLocalizedStringTable table;
        EXPECT_STREQ("english", table.GetLanguage());
    }
    SetUserLanguage("german");
    CLocalizedStringTable table;
    EXPECT_STREQ("german", table.GetLanguage());
    // Read once: a later change is not seen by this table.
    SetUserLanguage("french");
    EXPECT_STREQ("german", table.GetLanguage());

    // At most 62 characters.
    std::string strLong(70, 'l');
    SetUserLanguage(strLong.c_str());
    CLocalizedStringTable tableLong;
    EXPECT_EQ(std::string(62, 'l'), tableLong.GetLanguage());

    // An empty value is not cached: the next call asks again.
    SetUserLanguage("");
    CLocalizedStringTable tableEmpty;
    EXPECT_STREQ("", tableEmpty.GetLanguage());
    SetUserLanguage("spanish");
    EXPECT_STREQ("spanish", tableEmpty.GetLanguage());

    // A value that would leave the language folder is not a language.
    for (const char *pchBad : {"..\\..\\secret", "../x", "a/b", "ger man"})
    {
        SetUserLanguage(pchBad);
        CLocalizedStringTable tableBad;
        EXPECT_STREQ("english", tableBad.GetLanguage()) << pchBad;
    }
}

TEST(LocalizeFileSymbols, SixteenBitSymbolsUntilTheLastOne)
{
    uint16 unFirst = CLocalizeFileSymbols::AddName("dir/first.txt");
    EXPECT_EQ(unFirst, CLocalizeFileSymbols::AddName("DIR\\FIRST.TXT")) << "slashes and case do not matter";
    EXPECT_EQ(unFirst, CLocalizeFileSymbols::FindName("dir/First.txt"));
    EXPECT_STREQ("dir\\first.txt", CLocalizeFileSymbols::GetName(unFirst));
    EXPECT_EQ(k_unInvalidLocalizeFileSymbol, CLocalizeFileSymbols::FindName("never/added.txt"));
    EXPECT_EQ(k_unInvalidLocalizeFileSymbol, CLocalizeFileSymbols::AddName(nullptr));

    // Fill the table: the last symbol is 0xFFFE, 0xFFFF means none.
    CSpewCapture capture;
    uint16 unLast = unFirst;
    int i = 0;
    for (; i < 70000; ++i)
    {
        uint16 unSymbol = CLocalizeFileSymbols::AddName(("fill/" + std::to_string(i)).c_str());
        if (unSymbol == k_unInvalidLocalizeFileSymbol)
            break;
        unLast = unSymbol;
    }
    EXPECT_EQ(0xFFFE, unLast);
    EXPECT_LT(i, 70000);
    EXPECT_EQ(1, capture.CountContaining("Assertion Failed: CLocalizeFileSymbols: no symbol left"));
    EXPECT_EQ(unFirst, CLocalizeFileSymbols::AddName("dir/first.txt")) << "known names still have theirs";
    EXPECT_EQ(nullptr, CLocalizeFileSymbols::GetName(k_unInvalidLocalizeFileSymbol));
}

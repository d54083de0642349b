#include "foundation/keyvalues.h"
#include "foundation/utlbuffer.h"

#include "kvtestutil.h"
#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>

namespace
{
#ifdef _WIN32
const bool k_bWindowsBuild = true;
#else
const bool k_bWindowsBuild = false;
#endif

std::string Report(const std::string &strMessage, int nOffset, const std::string &strPath,
                   const char *pchResource = "test.txt")
{
    return "KeyValues Error: " + strMessage + " in file " + pchResource +
           " [offset: " + std::to_string(nOffset) + "]\n" + strPath + "\n";
}
} // namespace

TEST(KeyValuesReader, ValueTypingAtTheEdges)
{
    CLoadedText kv(
        "\"root\" {\n"
        " \"zero\" \"0\"  \"doublezero\" \"00\"  \"blank7\" \" 7\"  \"plus\" \"+5\"  \"leading\" \"007\"\n"
        " \"decimal\" \"1.5\"  \"thousands\" \"1,000\"  \"elevennines\" \"99999999999\"\n"
        " \"max\" \"2147483647\"  \"min\" \"-2147483648\"  \"belowmax\" \"2147483646\"\n"
        " \"abovemin\" \"-2147483647\"  \"trailing\" \"12 \"  \"minus\" \"-\"  \"empty\" \"\"\n"
        " \"negzero\" \"-0\"  \"unquoted\" 42  \"hex\" \"0x10\"  \"equals\" \"=\"\n"
        "}\n");
    ASSERT_TRUE(kv.BOk()) << kv.Errors();
    struct Expected_t
    {
        const char *pchKey;
        KeyValues::types_t eType;
        const char *pchText;
    } rgExpected[] = {
        {"zero", KeyValues::TYPE_INT, "0"},
        {"doublezero", KeyValues::TYPE_STRING, "00"},
        {"blank7", KeyValues::TYPE_INT, "7"},
        {"plus", KeyValues::TYPE_INT, "5"},
        {"leading", KeyValues::TYPE_STRING, "007"},
        {"decimal", KeyValues::TYPE_STRING, "1.5"},
        {"thousands", KeyValues::TYPE_STRING, "1,000"},
        {"elevennines", KeyValues::TYPE_STRING, "99999999999"},
        {"max", KeyValues::TYPE_STRING, "2147483647"},
        {"min", KeyValues::TYPE_STRING, "-2147483648"},
        {"belowmax", KeyValues::TYPE_INT, "2147483646"},
        {"abovemin", KeyValues::TYPE_INT, "-2147483647"},
        {"trailing", KeyValues::TYPE_STRING, "12 "},
        {"minus", KeyValues::TYPE_STRING, "-"},
        {"empty", KeyValues::TYPE_STRING, ""},
        {"negzero", KeyValues::TYPE_INT, "0"},
        {"unquoted", KeyValues::TYPE_INT, "42"},
        {"hex", KeyValues::TYPE_STRING, "0x10"},
        {"equals", KeyValues::TYPE_STRING, "="},
    };
    for (const Expected_t &expected : rgExpected)
    {
        KeyValues *pKey = kv->FindKey(expected.pchKey);
        ASSERT_NE(nullptr, pKey) << expected.pchKey;
        EXPECT_EQ(expected.eType, pKey->GetDataType()) << expected.pchKey;
        EXPECT_STREQ(expected.pchText, pKey->GetString()) << expected.pchKey;
    }
    EXPECT_EQ(-2147483647, kv->GetInt("abovemin"));
}

TEST(KeyValuesReader, DuplicateKeysStayInFileOrderAndLookupFindsTheFirst)
{
    CLoadedText kv("\"a\" { \"b\" \"1\" \"c\" \"x\" \"b\" \"2\" \"B\" { \"d\" \"3\" } }");
    ASSERT_TRUE(kv.BOk());
    EXPECT_STREQ("a", kv->GetName());
    EXPECT_EQ((std::vector<std::string>{"b", "c", "b", "b"}), ChildNames(kv.Get()));
    EXPECT_EQ(1, kv->GetInt("b"));
    KeyValues *pSecond = kv->FindKey("b")->GetNextKey()->GetNextKey();
    EXPECT_EQ(2, pSecond->GetInt());
    // The section is the third b: a path through the first b (a value) finds nothing.
    EXPECT_EQ(nullptr, kv->FindKey("b/d"));
    EXPECT_EQ(KeyValues::TYPE_NONE, pSecond->GetNextKey()->GetDataType());
}

TEST(KeyValuesReader, EscapesOnAndOff)
{
    const char *pchText = "\"a\" { \"k\" \"x\\ty\\\"z\\\\w\\n\" \"s\" { \"q\" \"1\\2\" } }";
    CLoadedText kvOn(pchText, "test.txt", true);
    ASSERT_TRUE(kvOn.BOk()) << kvOn.Errors();
    EXPECT_STREQ("x\ty\"z\\w\n", kvOn->GetString("k"));
    // Children inherit the flag: "\2" is no known escape and stands for a NUL.
    EXPECT_STREQ("1", kvOn->GetString("s/q"));
    EXPECT_TRUE(kvOn->FindKey("s/q")->HasEscapeSequences());

    CLoadedText kvOff("\"a\" { \"k\" \"x\\ty\\\\w\" \"s\" { \"q\" \"1\\2\" } }");
    ASSERT_TRUE(kvOff.BOk());
    EXPECT_STREQ("x\\ty\\\\w", kvOff->GetString("k"));
    EXPECT_STREQ("1\\2", kvOff->GetString("s/q"));

    // Written with escapes off, a quote inside a value cuts the value there when read back.
    CKeyValuesAutoDelete pTree(new KeyValues("t"));
    pTree->SetString("v", "say \"hi\" now");
    std::string strWritten = WrittenText(pTree.Get());
    EXPECT_EQ("\"t\"\n{\n\t\"v\"\t\t\"say \\\"hi\\\" now\"\n}\n", strWritten);
    CLoadedText kvBack(strWritten);
    EXPECT_STREQ("say \\", kvBack->GetString("v"));
    EXPECT_STREQ(" now", kvBack->GetString("hi\\"));

    // With escapes on the same value comes back whole.
    pTree->UsesEscapeSequences(true);
    pTree->FindKey("v")->UsesEscapeSequences(true);
    pTree->SetString("w", "back\\slash");
    pTree->FindKey("w")->UsesEscapeSequences(true);
    CLoadedText kvEscaped(WrittenText(pTree.Get()), "test.txt", true);
    ASSERT_TRUE(kvEscaped.BOk()) << kvEscaped.Errors();
    EXPECT_STREQ("say \"hi\" now", kvEscaped->GetString("v"));
    EXPECT_STREQ("back\\slash", kvEscaped->GetString("w"));
}

TEST(KeyValuesReader, KeyConditionalsAndTheEqualsForms)
{
    CLoadedText kv("\"a\" {\n"
                   " \"k\" \"one\"  \"k\" \"two\" [$1]\n" // replaces the first k
                   " \"j\" \"one\"  \"j\" \"two\" [$0]\n" // dropped
                   " \"gone\" \"v\" [$0]\n"
                   " \"kept\" \"v\" [$1]\n"
                   " \"pre\" [$0] \"v\"  \"pre2\" [$1] \"v\"\n" // conditional before the value
                   " \"e\" = \"v\"  \"e2\" = \"=\"\n"
                   " \"r\" \"old\"  \"r\" = [$1] \"new\"  \"r\" = [$0] \"never\"\n"
                   " \"s\" [$0] { \"x\" \"1\" }  \"s2\" [$1] { \"x\" \"2\" }\n"
                   " \"last\" \"1\"\n"
                   "}\n");
    ASSERT_TRUE(kv.BOk()) << kv.Errors();
    EXPECT_EQ((std::vector<std::string>{"k", "j", "kept", "pre2", "e", "e2", "r", "s2", "last"}),
              ChildNames(kv.Get()));
    EXPECT_STREQ("two", kv->GetString("k"));
    EXPECT_STREQ("one", kv->GetString("j"));
    EXPECT_STREQ("v", kv->GetString("e"));
    EXPECT_STREQ("=", kv->GetString("e2"));
    EXPECT_STREQ("new", kv->GetString("r"));
    EXPECT_EQ(2, kv->GetInt("s2/x"));
}

TEST(KeyValuesReader, ManyConditionalReplacementsEachFindTheirKeyAtOnce)
{
    // Every key replaced by a later one of its name, and some replaced twice: each later
    // conditional key takes the place of the first one before it that is still there.
    const int k_cKeys = 60000;
    std::string strText = "\"a\" {\n";
    for (int i = 0; i < k_cKeys; ++i)
        strText += " \"k" + std::to_string(i) + "\" \"one\"\n";
    for (int i = 0; i < k_cKeys; ++i)
        strText += " \"k" + std::to_string(i) + "\" \"two\" [$1]\n";
    strText += " \"k7\" \"three\" [$1]  \"k8\" \"dropped\" [$0]  \"k8\" = [$1] \"three\"\n}\n";
    auto start = std::chrono::steady_clock::now();
    CLoadedText kv(strText);
    double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(kv.BOk()) << kv.Errors();
    std::vector<std::string> vecNames = ChildNames(kv.Get());
    ASSERT_EQ((size_t)k_cKeys, vecNames.size());
    EXPECT_EQ("k0", vecNames[0]);
    EXPECT_EQ("k9", vecNames[7]); // k7 and k8 were replaced by their last spellings, at the end
    EXPECT_EQ("k7", vecNames[k_cKeys - 2]);
    EXPECT_EQ("k8", vecNames[k_cKeys - 1]);
    EXPECT_STREQ("two", kv->GetString("k0"));
    EXPECT_STREQ("two", kv->GetString("k59999"));
    EXPECT_STREQ("three", kv->GetString("k7"));
    EXPECT_STREQ("three", kv->GetString("k8"));
    // Walking the block once per replacement took minutes for this many keys.
    EXPECT_LT(dSeconds, 10.0);
    printf("%d conditional replacements: %.3f s\n", k_cKeys + 3, dSeconds);
}

TEST(KeyValuesReader, PlatformNamesFollowTheBuild)
{
    CLoadedText kv(
        "\"a\" {\n"
        " \"windows\" \"1\" [$WINDOWS]  \"win32\" \"1\" [$WIN32]  \"vista\" \"1\" [$VISTA]  \"win7\" \"1\" "
        "[$WIN7]\n"
        " \"posix\" \"1\" [$POSIX]  \"linux\" \"1\" [$linux]\n"
        " \"win64\" \"1\" [$WIN64]  \"osx\" \"1\" [$OSX]  \"x360\" \"1\" [$X360]  \"ps3\" \"1\" [$PS3]\n"
        " \"notx360\" \"1\" [!$X360]\n"
        "}\n");
    ASSERT_TRUE(kv.BOk());
    std::vector<std::string> vecExpected;
    if (k_bWindowsBuild)
        vecExpected = {"windows", "win32", "vista", "win7", "notx360"};
    else
        vecExpected = {"posix", "linux", "notx360"};
    EXPECT_EQ(vecExpected, ChildNames(kv.Get()));

    // The spelled-out cases: k two replaces k one only where the condition holds.
    const char *pchPlatform = k_bWindowsBuild ? "[$WIN32]" : "[$POSIX]";
    CLoadedText kvReplace(std::string("\"a\" { \"k\" \"one\" \"k\" \"two\" ") + pchPlatform + " }");
    EXPECT_EQ((std::vector<std::string>{"k"}), ChildNames(kvReplace.Get()));
    EXPECT_STREQ("two", kvReplace->GetString("k"));
    CLoadedText kvKeep("\"a\" { \"k\" \"one\" \"k\" \"two\" [$X360] }");
    EXPECT_EQ((std::vector<std::string>{"k"}), ChildNames(kvKeep.Get()));
    EXPECT_STREQ("one", kvKeep->GetString("k"));
}

TEST(KeyValuesReader, ConditionalExpressions)
{
    KeyValuesSystem()->SetConditional("$KvReaderBeta", true);
    KeyValuesSystem()->SetConditional("KvReaderOff", false);
    struct Case_t
    {
        const char *pchToken;
        bool bExpected;
    } rgCases[] = {
        {"[$1]", true},
        {"[$0]", false},
        {"[!$0]", true},
        {"[$1&&$0]", false},
        {"[$0||$1]", true},
        {"[$1||$1&&$0]", false}, // equal precedence, left to right
        {"[$0&&$0||$1]", true},
        {"[!($0||$0)]", true},
        {"[!!$1]", true},
        {"[ $1 && ( $0 || $1 ) ]", true},
        {"[12]", true},
        {"[0]", false},
        {"[000]", false},
        {"[$kvreaderbeta]", true},
        {"[$KVREADERBETA&&!$KvReaderOff]", true},
        {"[$KvReaderUnregistered]", false},
        {"prefix[$1]suffix", true},
    };
    for (const Case_t &c : rgCases)
        EXPECT_EQ(c.bExpected, KeyValues::EvaluateConditional(c.pchToken)) << c.pchToken;

    CSpewCapture capture;
    EXPECT_FALSE(KeyValues::EvaluateConditional("[$1&$1]"));
    EXPECT_TRUE(capture.BContains("Bad expression token: & $"));
    EXPECT_FALSE(KeyValues::EvaluateConditional("[$1|$0]"));
    EXPECT_TRUE(capture.BContains("Bad expression token: | $"));
    EXPECT_FALSE(KeyValues::EvaluateConditional("[$1+1]"));
    EXPECT_TRUE(capture.BContains("Bad expression token: +"));
    EXPECT_FALSE(KeyValues::EvaluateConditional("[WIN32]"));
    EXPECT_TRUE(capture.BContains("Bad expression token: W"));
    EXPECT_FALSE(KeyValues::EvaluateConditional("[($1]"));
    EXPECT_TRUE(capture.BContains("Bad expression token: ]"));
    EXPECT_FALSE(KeyValues::EvaluateConditional("[!$0 $1]"));
    // Deep nesting is refused instead of exhausting the stack.
    std::string strDeep = "[" + std::string(100000, '(') + "$1" + std::string(100000, ')') + "]";
    EXPECT_FALSE(KeyValues::EvaluateConditional(strDeep.c_str()));
    std::string strNots = "[" + std::string(100000, '!') + "$1]";
    EXPECT_FALSE(KeyValues::EvaluateConditional(strNots.c_str()));
}

TEST(KeyValuesReader, TopLevelBlocksWithFalseConditionals)
{
    // False first block: the node takes the next block's name and contents.
    CLoadedText kvFirst("\"a\" [$0] { \"x\" \"1\" }\n\"b\" { \"y\" \"2\" }\n");
    ASSERT_TRUE(kvFirst.BOk());
    EXPECT_STREQ("b", kvFirst->GetName());
    EXPECT_EQ((std::vector<std::string>{"y"}), ChildNames(kvFirst.Get()));
    EXPECT_EQ(nullptr, kvFirst->GetNextKey());

    // False middle block: a is followed directly by c.
    CLoadedText kvMiddle("\"a\" { \"x\" \"1\" } \"b\" [$X360] { \"y\" \"2\" } \"c\" { \"z\" \"3\" }");
    ASSERT_TRUE(kvMiddle.BOk());
    EXPECT_STREQ("a", kvMiddle->GetName());
    ASSERT_NE(nullptr, kvMiddle->GetNextKey());
    EXPECT_STREQ("c", kvMiddle->GetNextKey()->GetName());
    EXPECT_EQ(3, kvMiddle->GetNextKey()->GetInt("z"));
    EXPECT_EQ(nullptr, kvMiddle->GetNextKey()->GetNextKey());
    EXPECT_EQ("\"a\"\n{\n\t\"x\"\t\t\"1\"\n}\n\"c\"\n{\n\t\"z\"\t\t\"3\"\n}\n", WrittenText(kvMiddle.Get()));

    // A single key with a true trailing conditional stays.
    const char *pchTrue = k_bWindowsBuild ? "[$WINDOWS]" : "[$LINUX]";
    CLoadedText kvSingle(std::string("\"a\" { \"k\" \"v\" ") + pchTrue + " }");
    EXPECT_STREQ("v", kvSingle->GetString("k"));

    // Only false blocks: nothing is loaded, and that is no error.
    CLoadedText kvNone("\"a\" [$0] { \"x\" \"1\" } \"b\" [$0] { }");
    EXPECT_TRUE(kvNone.BOk());
    EXPECT_EQ(nullptr, kvNone->GetFirstSubKey());
    EXPECT_EQ(nullptr, kvNone->GetNextKey());
}

TEST(KeyValuesReader, ByteOrderMarkCommentsAndInclude)
{
    const std::string strPlain = "\"a\" { \"b\" \"1\" \"c\" { \"d\" = \"e\" } \"f\" \"g\" [$1] }";
    CLoadedText kvPlain(strPlain);
    ASSERT_TRUE(kvPlain.BOk());
    CLoadedText kvBom("\xEF\xBB\xBF" + strPlain);
    ASSERT_TRUE(kvBom.BOk());
    EXPECT_TRUE(kvPlain->IsEqual(kvBom.Get()));
    EXPECT_STREQ("a", kvBom->GetName());

    // A comment between every two tokens changes nothing.
    const char *rgpchTokens[] = {"\"a\"", "{",     "\"b\"", "\"1\"", "\"c\"", "{",    "\"d\"",
                                 "=",     "\"e\"", "}",     "\"f\"", "\"g\"", "[$1]", "}"};
    std::string strCommented = "// leading \"x\" {\n";
    for (const char *pchToken : rgpchTokens)
        strCommented += std::string(pchToken) + "\n// \"not\" { a } = token\n";
    CLoadedText kvCommented(strCommented);
    ASSERT_TRUE(kvCommented.BOk()) << kvCommented.Errors();
    EXPECT_TRUE(kvPlain->IsEqual(kvCommented.Get()));
    EXPECT_EQ(WrittenText(kvPlain.Get()), WrittenText(kvCommented.Get()));

    // "/*" is an ordinary unquoted token.
    CLoadedText kvSlashStar("\"a\" { /* \"b\" }");
    EXPECT_TRUE(kvSlashStar.BOk());
    ASSERT_NE(nullptr, kvSlashStar->GetFirstSubKey());
    EXPECT_STREQ("/*", kvSlashStar->GetFirstSubKey()->GetName());
    EXPECT_STREQ("b", kvSlashStar->GetFirstSubKey()->GetString());

    // "#include" is skipped with its argument; the rest loads.
    CLoadedText kvInclude("#include \"other.txt\"\n#INCLUDE other2\n" + strPlain);
    EXPECT_TRUE(kvInclude.BOk());
    EXPECT_TRUE(kvPlain->IsEqual(kvInclude.Get()));
    EXPECT_TRUE(kvInclude.BSpewContains(
        "Assertion Failed: KeyValues don't support #include anymore, file \"test.txt\""));
    CLoadedText kvIncludeNull(strPlain + "\n#include");
    EXPECT_FALSE(kvIncludeNull.BOk());
    EXPECT_EQ(Report("#include is NULL ", (int)strPlain.size() + 9, "(*a*), (*f*), (*c*), (*d*), "),
              kvIncludeNull.Errors());
}

TEST(KeyValuesReader, LookupIgnoresCaseAndWritingKeepsTheFirstSpelling)
{
    CLoadedText kvFirst("\"KvReaderRoot\" { \"KvReaderSpelling\" \"1\" }");
    EXPECT_EQ(1, kvFirst->GetInt("kvreaderspelling"));
    EXPECT_EQ(1, kvFirst->GetInt("KVREADERSPELLING"));
    // A tree loaded later writes the spelling interned first.
    CLoadedText kvLater("\"KVREADERROOT\" { \"KVREADERSPELLING\" \"2\" }");
    EXPECT_EQ("\"KvReaderRoot\"\n{\n\t\"KvReaderSpelling\"\t\t\"2\"\n}\n", WrittenText(kvLater.Get()));
    EXPECT_EQ("\"kvreaderroot\"\n{\n\t\"kvreaderspelling\"\t\t\"2\"\n}\n",
              WrittenText(kvLater.Get(), true, KeyValues::k_ESaveLowerCaseNames));
}

TEST(KeyValuesReader, ErrorReportsNameTheMessageOffsetAndKeyPath)
{
    std::string strEof = "\"a\"\n{\n\"b\" \"1\"\n";
    CLoadedText kvEof(strEof);
    EXPECT_FALSE(kvEof.BOk());
    EXPECT_EQ(Report("RecursiveLoadFromBuffer:  got EOF instead of keyname", (int)strEof.size(), "a, b, "),
              kvEof.Errors());
    EXPECT_EQ(1, kvEof->GetInt("b"));
    EXPECT_TRUE(
        kvEof.BSpewContains("Assertion Failed: Error while parsing text KeyValues for resource test.txt"));

    // Each report ends its block; the reader goes on at the level above, here with a second
    // report for "x" at the top level.
    CLoadedText kvEmptyKey("\"a\" { \"k\" \"v\" \"\" \"x\" }");
    EXPECT_EQ(0u,
              kvEmptyKey.Errors().find(Report("RecursiveLoadFromBuffer:  got empty keyname", 16, "a, k, ")));
    EXPECT_EQ(2, kvEmptyKey.ErrorCount());

    CLoadedText kvNullKey("\"a\" { \"b\"");
    EXPECT_EQ(Report("RecursiveLoadFromBuffer:  got NULL key", 9, "a, b, "), kvNullKey.Errors());

    CLoadedText kvBrace("\"a\" { \"b\" }");
    EXPECT_EQ(Report("RecursiveLoadFromBuffer:  got } in key", 11, "a, b, "), kvBrace.Errors());

    CLoadedText kvMissing("\"a\" \"b\"");
    EXPECT_EQ(Report("LoadFromBuffer: missing {   (current key: 'a')", 7, ""), kvMissing.Errors());

    // Levels left behind deeper down appear as (*name*).
    CLoadedText kvDeeper("\"a\" { \"b\" { \"c\" \"1\" } \"d\" }");
    EXPECT_EQ(Report("RecursiveLoadFromBuffer:  got } in key", 27, "a, d, (*b*), (*c*), "),
              kvDeeper.Errors());
    EXPECT_EQ(1, kvDeeper->GetInt("b/c"));

    CLoadedText kvBetween("\"a\" { \"k\" [$1] [$0] \"n\" \"1\" }");
    EXPECT_EQ(0u, kvBetween.Errors().find(Report(
                      "RecursiveLoadFromBuffer:  got conditional between key and value", 19, "a, k, ")));

    // The report is printed when the parser is asked to.
    CSpewCapture capture;
    CKeyValuesAutoDelete pKV(new KeyValues("x"));
    CKeyValuesParser parser("printed.txt", true);
    EXPECT_FALSE(pKV->LoadFromString(nullptr, "\"a\" { \"b\" }", &parser));
    EXPECT_TRUE(
        capture.BContains(Report("RecursiveLoadFromBuffer:  got } in key", 11, "a, b, ", "printed.txt")));
    // Without a resource name the default one is used.
    EXPECT_FALSE(pKV->LoadFromString(nullptr, "\"a\" \"b\""));
    EXPECT_TRUE(capture.BContains("in file NULL [offset: 7]"));
}

TEST(KeyValuesReader, BadInputEndsWithAReportAndKeepsWhatWasRead)
{
    CLoadedText kvQuote("\"a\" { \"b\" \"1\" \"c\" \"unterminated");
    EXPECT_FALSE(kvQuote.BOk());
    EXPECT_EQ(1, kvQuote->GetInt("b"));
    EXPECT_STREQ("unterminated", kvQuote->GetString("c"));
    EXPECT_NE(std::string::npos, kvQuote.Errors().find("got EOF instead of keyname"));

    // A 70,000-character unquoted token: 65535 kept, one report, the rest of the file loads.
    std::string strLong(70000, 'x');
    std::string strText = "\"a\" { \"k\" " + strLong + " \"n\" \"1\" }";
    CLoadedText kvLong(strText);
    EXPECT_FALSE(kvLong.BOk());
    EXPECT_EQ(65535u, strlen(kvLong->GetString("k")));
    EXPECT_EQ(1, kvLong->GetInt("n"));
    EXPECT_EQ(Report(" ReadToken overflow", 10 + 65535, "a, k, "), kvLong.Errors());
    // Quoted, the same length is cut without a report.
    CLoadedText kvLongQuoted("\"a\" { \"k\" \"" + strLong + "\" \"n\" \"1\" }");
    EXPECT_TRUE(kvLongQuoted.BOk());
    EXPECT_EQ(65535u, strlen(kvLongQuoted->GetString("k")));
    // As a key name it is too long to intern: the key gets the empty name.
    CLoadedText kvLongKey("\"a\" { \"" + strLong + "\" \"v\" }");
    EXPECT_TRUE(kvLongKey.BOk());
    EXPECT_STREQ("v", kvLongKey->GetFirstSubKey()->GetString());
    EXPECT_STREQ("", kvLongKey->GetFirstSubKey()->GetName());
    EXPECT_TRUE(
        kvLongKey.BSpewContains("CKeyValuesSystem::AddStringToPool: key name too long (65536 chars)"));

    // 64 nested blocks load; the 65th is refused and the reader goes on.
    auto nested = [](int nLevels)
    {
        std::string str;
        for (int i = 0; i < nLevels; ++i)
            str += "\"l" + std::to_string(i) + "\" { ";
        str += "\"leaf\" \"1\" ";
        for (int i = 0; i < nLevels; ++i)
            str += "} ";
        return str;
    };
    CLoadedText kv64(nested(64));
    EXPECT_TRUE(kv64.BOk()) << kv64.Errors();
    std::string strPath;
    for (int i = 1; i < 64; ++i)
        strPath += "l" + std::to_string(i) + "/";
    EXPECT_EQ(1, kv64->GetInt((strPath + "leaf").c_str()));
    CLoadedText kv65(nested(65));
    EXPECT_FALSE(kv65.BOk());
    EXPECT_NE(std::string::npos,
              kv65.Errors().find("RecursiveLoadFromBuffer:  blocks nested deeper than 64 levels"));
    EXPECT_NE(nullptr, kv65->FindKey((strPath + "l64").c_str()));
    CLoadedText kvBraces(std::string(200000, '{'));
    EXPECT_FALSE(kvBraces.BOk());
    EXPECT_GT(kvBraces.ErrorCount(), CKeyValuesParser::k_cMaxErrorReports);

    CLoadedText kvLoneClose("}");
    EXPECT_FALSE(kvLoneClose.BOk());
    EXPECT_EQ(Report("LoadFromBuffer: missing {   (current key: '}')", 1, ""), kvLoneClose.Errors());
    CLoadedText kvLoneOpen("{");
    EXPECT_FALSE(kvLoneOpen.BOk());
    EXPECT_EQ(Report("LoadFromBuffer: missing {   (current key: '{')", 1, ""), kvLoneOpen.Errors());

    for (const char *pchEmpty : {"", "  \n\t", "// only a comment", "\xEF\xBB\xBF"})
    {
        CLoadedText kvEmpty(pchEmpty);
        EXPECT_FALSE(kvEmpty.BOk()) << pchEmpty;
        EXPECT_EQ(Report("LoadFromBuffer: empty input, no key found", (int)strlen(pchEmpty), ""),
                  kvEmpty.Errors());
    }
    CKeyValuesAutoDelete pKV(new KeyValues("x"));
    {
        CSpewCapture capture;
        EXPECT_FALSE(pKV->LoadFromString("s", ""));
    }
    EXPECT_TRUE(pKV->LoadFromString("s", nullptr));

    // A NUL byte ends the text like an empty token.
    const char rgchNul[] = "\"a\" { \"b\" \"1\" \0 \"c\" \"2\" }";
    CLoadedText kvNul(std::string(rgchNul, sizeof(rgchNul) - 1));
    EXPECT_FALSE(kvNul.BOk());
    EXPECT_EQ(1, kvNul->GetInt("b"));
    EXPECT_EQ(nullptr, kvNul->FindKey("c"));

    // A file of endless errors: the reports stop after a hundred.
    std::string strManyErrors;
    for (int i = 0; i < 1000; ++i)
        strManyErrors += "x y ";
    CLoadedText kvMany(strManyErrors);
    EXPECT_FALSE(kvMany.BOk());
    EXPECT_EQ(1000, kvMany.ErrorCount());
    EXPECT_NE(std::string::npos,
              kvMany.Errors().find(
                  "KeyValues Error: too many errors in file test.txt, the rest are not reported\n"));
    EXPECT_LT(kvMany.Errors().size(), 20000u);
}

TEST(KeyValuesReader, RandomBytesNeverCrashOrHang)
{
    std::mt19937 rng(20240611);
    const char rgchAlphabet[] = "{}\"=[]$!&|()/\\ \n\tab01#";
    for (int nRound = 0; nRound < 300; ++nRound)
    {
        size_t cub = 1 + rng() % 3000;
        std::string str(cub, '\0');
        for (char &ch : str)
        {
            // Half the rounds from the token alphabet, half raw bytes.
            ch = (nRound % 2) ? rgchAlphabet[rng() % (sizeof(rgchAlphabet) - 1)] : (char)(rng() & 0xFF);
        }
        CLoadedText kv(str);
        // Whatever came out must write and load again without trouble.
        std::string strWritten = WrittenText(kv.Get());
        if (kv.BOk())
            EXPECT_FALSE(kv.Errors().size());
        else
            EXPECT_GT(kv.ErrorCount(), 0);
        ASSERT_LT(strWritten.size(), 2 * str.size() + 1000);
    }
}

TEST(KeyValuesReader, WritingThenLoadingGivesAnEqualTree)
{
    const char *pchManifest = "\"manifest\"\n"
                              "{\n"
                              "\t\"version\"\t\t\"1712345678\"\n"
                              "\t\"core_linux\"\n"
                              "\t{\n"
                              "\t\t\"file\"\t\t\"core_linux.zip.0123456789abcdef0123456789abcdef01234567\"\n"
                              "\t\t\"size\"\t\t\"123456\"\n"
                              "\t}\n"
                              "\t\"empty\"\n"
                              "\t{\n"
                              "\t}\n"
                              "\t\"neg\"\t\t\"-17\"\n"
                              "\t\"text\"\t\t\"with blanks, 'quotes' and a \\\\ backslash\"\n"
                              "}\n"
                              "\"kvsignatures\"\n"
                              "{\n"
                              "\t\"manifest\"\t\t\"00ff\"\n"
                              "}\n";
    CLoadedText kv(pchManifest);
    ASSERT_TRUE(kv.BOk()) << kv.Errors();
    std::string strWritten = WrittenText(kv.Get());
    EXPECT_EQ(pchManifest, strWritten);
    CLoadedText kvBack(strWritten);
    ASSERT_TRUE(kvBack.BOk());
    EXPECT_TRUE(kv->IsEqual(kvBack.Get()));
    EXPECT_TRUE(kv->GetNextKey()->IsEqual(kvBack->GetNextKey()));

    // A built tree with escapes on keeps quotes, backslashes and control characters.
    CKeyValuesAutoDelete pTree(new KeyValues("built"));
    pTree->UsesEscapeSequences(true);
    pTree->SetString("q", "a \"quoted\" \\ path\\file\ttab\nline");
    pTree->SetInt("n", -5);
    pTree->SetString("deep/er/key", "x");
    pTree->SetString("short", "abcdefg");
    pTree->SetString("number", "1234567"); // comes back as an integer
    CLoadedText kvBuilt(WrittenText(pTree.Get()), "built.txt", true);
    ASSERT_TRUE(kvBuilt.BOk()) << kvBuilt.Errors();
    EXPECT_FALSE(pTree->IsEqual(kvBuilt.Get()));
    EXPECT_EQ(KeyValues::TYPE_INT, kvBuilt->FindKey("number")->GetDataType());
    pTree->SetInt("number", 1234567);
    EXPECT_TRUE(pTree->IsEqual(kvBuilt.Get()));
    EXPECT_STREQ("built", kvBuilt->GetName());
}

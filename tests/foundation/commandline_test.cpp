#include "foundation/commandline.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace
{
std::vector<std::string> Arguments(const CCommandLine &cmd)
{
    std::vector<std::string> vec;
    for (int i = 0; i < cmd.GetArgumentCount(); ++i)
        vec.push_back(cmd.GetArgument(i));
    return vec;
}

} // namespace

TEST(CommandLine, ArgumentsAreQuotedAndParseBackUnchanged)
{
    CCommandLine cmd;
    EXPECT_EQ(nullptr, cmd.GetText());
    char rgchArg0[] = "a b";
    char rgchArg1[] = "c";
    char *rgpchArgs[] = {rgchArg0, rgchArg1, nullptr};
    cmd.CreateFromArguments(2, rgpchArgs);
    EXPECT_STREQ("\"a b\" \"c\" ", cmd.GetText());
    EXPECT_EQ((std::vector<std::string>{"a b", "c"}), Arguments(cmd));
    // Refilling from its own text keeps it.
    cmd.CreateFromText(cmd.GetText());
    EXPECT_STREQ("\"a b\" \"c\" ", cmd.GetText());

    // White space of every kind separates; an empty quoted argument is not stored; an
    // unterminated quote runs to the end; a quote inside an unquoted word is kept.
    cmd.CreateFromText(" \t prog\t\"\"  x\"y \"rest of  line");
    EXPECT_EQ((std::vector<std::string>{"prog", "x\"y", "rest of  line"}), Arguments(cmd));

    CSpewCapture spew;
    EXPECT_STREQ("", cmd.GetArgument(3));
    EXPECT_STREQ("", cmd.GetArgument(-1));
    EXPECT_EQ(2, spew.CountContaining("Assertion Failed: (nIndex >= 0) && (nIndex < m_nParmCount)"));
}

TEST(CommandLine, FindOptionSearchesTextButFindOptionArgumentWantsWholeArgument)
{
    CCommandLine cmd;
    int hBeta = cmd.RegisterOption("-beta", "");
    cmd.CreateFromText("prog -betax secret");
    const char *pchValue = "untouched";
    const char *pchFound = cmd.FindOption(hBeta, &pchValue);
    ASSERT_NE(nullptr, pchFound);
    EXPECT_EQ(std::string("-betax secret"), pchFound);
    EXPECT_STREQ("secret", pchValue);
    EXPECT_EQ(0, cmd.FindOptionArgument(hBeta));
    EXPECT_STREQ("dflt", cmd.GetOptionString(hBeta, "dflt"));

    // Case is ignored both ways; argument 0 never counts as the option.
    cmd.CreateFromText("-BETA prog -Beta 42");
    EXPECT_EQ(2, cmd.FindOptionArgument(hBeta));
    EXPECT_EQ(42, cmd.GetOptionInt(hBeta, 0));
    EXPECT_FLOAT_EQ(42.0f, cmd.GetOptionFloat(hBeta, 1.5f));

    // Value forms of FindOption: none at the end, none before "-" or "+", blanks skipped.
    cmd.CreateFromText("prog -beta");
    EXPECT_NE(nullptr, cmd.FindOption(hBeta, &pchValue));
    EXPECT_EQ(nullptr, pchValue);
    cmd.CreateFromText("prog -beta   +x");
    EXPECT_NE(nullptr, cmd.FindOption(hBeta, &pchValue));
    EXPECT_EQ(nullptr, pchValue);
    cmd.CreateFromText("prog -beta    v1 v2");
    cmd.FindOption(hBeta, &pchValue);
    EXPECT_STREQ("v1", pchValue);
    cmd.CreateFromText("prog -beta   ");
    cmd.FindOption(hBeta, &pchValue);
    EXPECT_STREQ("", pchValue);

    // A value is cut at 127 characters.
    std::string strLong(200, 'v');
    cmd.CreateFromText(("prog -beta " + strLong).c_str());
    cmd.FindOption(hBeta, &pchValue);
    EXPECT_EQ(strLong.substr(0, 127), pchValue);

    // Invalid handles find nothing and leave the out value null.
    EXPECT_EQ(nullptr, cmd.FindOption(-1, &pchValue));
    EXPECT_EQ(nullptr, pchValue);
    EXPECT_EQ(nullptr, cmd.FindOption(hBeta + 100));
    EXPECT_EQ(7, cmd.GetOptionInt(hBeta + 100, 7));
}

TEST(CommandLine, GetOptionStringFallsBackAtTheEndAndBeforeAnotherOption)
{
    CCommandLine cmd;
    int hDir = cmd.RegisterOption("-installupdate", "");
    cmd.CreateFromText("prog -installupdate");
    EXPECT_EQ(nullptr, cmd.GetOptionString(hDir, nullptr));
    cmd.CreateFromText("prog -installupdate -textclient");
    EXPECT_EQ(nullptr, cmd.GetOptionString(hDir, nullptr));
    cmd.CreateFromText("prog -installupdate +connect");
    EXPECT_STREQ("d", cmd.GetOptionString(hDir, "d"));
    cmd.CreateFromText("prog -installupdate \"C:\\Update Dir\" -textclient");
    EXPECT_STREQ("C:\\Update Dir", cmd.GetOptionString(hDir, nullptr));
}

TEST(CommandLine, ParameterFilesAreExpandedWhereAReferenceMayStart)
{
    CTempDir dir;
    std::string strFile = dir.File("parms.txt");
    ASSERT_TRUE(WriteTextFile(strFile, "-a 1\n-b\n"));
    std::string strSpaced = dir.File("with space.txt");
    ASSERT_TRUE(WriteTextFile(strSpaced, "-c"));
    ASSERT_TRUE(WriteTextFile(dir.File("empty.txt"), ""));

    CCommandLine cmd;
    // At the start of the text, line feeds become blanks and one blank follows the file.
    cmd.CreateFromText(("@" + strFile + " tail").c_str());
    EXPECT_STREQ("-a 1 -b  tail", cmd.GetText());
    // After white space; an at sign inside a word is copied unchanged.
    cmd.CreateFromText(("prog\t@" + strFile + " user@host").c_str());
    EXPECT_EQ((std::vector<std::string>{"prog", "-a", "1", "-b", "user@host"}), Arguments(cmd));
    // Inside quotes the name runs to the closing quote, and the content becomes arguments
    // of their own rather than one quoted argument.
    cmd.CreateFromText(("prog \"@" + strSpaced + "\" -d").c_str());
    EXPECT_EQ((std::vector<std::string>{"prog", "-c", "-d"}), Arguments(cmd));
    cmd.CreateFromText(("prog \"@" + strFile).c_str());
    EXPECT_EQ((std::vector<std::string>{"prog", "-a", "1", "-b"}), Arguments(cmd));
    // An empty file contributes one blank.
    cmd.CreateFromText(("x @" + dir.File("empty.txt") + " y").c_str());
    EXPECT_STREQ("x  y", cmd.GetText());
    // A quote after a backslash opens no quoted section, so an at sign right after it is
    // an ordinary character.
    cmd.CreateFromText(("x \\\"@" + strFile).c_str());
    EXPECT_EQ("x \\\"@" + strFile, cmd.GetText());

    testing::internal::CaptureStdout();
    cmd.CreateFromText(("prog @" + dir.File("missing.txt") + " -e").c_str());
    std::string strOut = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos,
              strOut.find("Parameter file '" + dir.File("missing.txt") + "' not found, skipping..."))
        << strOut;
    EXPECT_EQ((std::vector<std::string>{"prog", "-e"}), Arguments(cmd));
}

TEST(CommandLine, TextsAreCutExactlyAtTheirLimits)
{
    CCommandLine cmd;

    // From arguments: 2,047 characters. "x...x" quoted with a blank is n + 3 characters.
    for (size_t cchArg : {2044u, 2045u, 2100u})
    {
        std::string strArg(cchArg, 'x');
        char *rgpchArgs[] = {&strArg[0], nullptr};
        cmd.CreateFromArguments(1, rgpchArgs);
        std::string strExpected = ("\"" + strArg + "\" ").substr(0, 2047);
        EXPECT_EQ(strExpected, cmd.GetText()) << cchArg;
    }

    // Ordinary text: 4,095 characters.
    std::string strLong(5000, 'y');
    cmd.CreateFromText(strLong.c_str());
    EXPECT_EQ(4095u, std::string(cmd.GetText()).size());
    cmd.CreateFromText(strLong.substr(0, 4095).c_str());
    EXPECT_EQ(4095u, std::string(cmd.GetText()).size());

    // A parameter file larger than the room left fills the buffer exactly, without overrun.
    CTempDir dir;
    std::string strBig = dir.File("big.txt");
    ASSERT_TRUE(WriteTextFile(strBig, std::string(10000, 'z')));
    std::string strText = std::string(100, 'p') + " @" + strBig + " -after";
    cmd.CreateFromText(strText.c_str());
    std::string strResult = cmd.GetText();
    ASSERT_EQ(4095u, strResult.size());
    EXPECT_EQ(std::string(100, 'p') + " " + std::string(4094 - 101, 'z') + " ", strResult);
    // A reference with only two bytes of room left copies nothing but its blank.
    strText = std::string(4093, 'q') + " @" + strBig;
    cmd.CreateFromText(strText.c_str());
    EXPECT_EQ(std::string(4093, 'q') + "  ", cmd.GetText());

    // File names: 259 characters; the rest of an overlong name is not left behind.
    std::string strPrefix = dir.Path() + "/";
    std::string strExact = strPrefix + std::string(259 - strPrefix.size(), 'e');
    ASSERT_EQ(259u, strExact.size());
    ASSERT_TRUE(WriteTextFile(strExact, "-found"));
    testing::internal::CaptureStdout();
    cmd.CreateFromText(("a @" + strExact + "overlong b").c_str());
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ((std::vector<std::string>{"a", "-found", "b"}), Arguments(cmd));
}

TEST(CommandLine, AtMost256ArgumentsAreStored)
{
    CCommandLine cmd;
    std::string strText;
    for (int i = 0; i < 300; ++i)
        strText += "a" + std::to_string(i) + " ";
    CSpewCapture spew;
    cmd.CreateFromText(strText.c_str());
    EXPECT_EQ(MAX_PARAMETERS, cmd.GetArgumentCount());
    EXPECT_STREQ("a255", cmd.GetArgument(255));
    EXPECT_EQ(1, spew.CountContaining("Assertion Failed: m_nParmCount < MAX_PARAMETERS"));

    spew.Clear();
    strText.clear();
    for (int i = 0; i < 256; ++i)
        strText += "b ";
    cmd.CreateFromText(strText.c_str());
    EXPECT_EQ(256, cmd.GetArgumentCount());
    EXPECT_TRUE(spew.Assertions().empty());
}

TEST(CommandLine, RemoveAndAppendEditTheTextAndReparse)
{
    CCommandLine cmd;
    int hBeta = cmd.RegisterOption("-beta", "");
    int hLog = cmd.RegisterOption("+log", "");

    // Removal takes the option and everything up to the next option, every occurrence.
    cmd.CreateFromText("prog -beta pw -x 1 -BETA again +y");
    cmd.RemoveOption(hBeta);
    EXPECT_STREQ("prog -x 1 +y", cmd.GetText());
    EXPECT_EQ((std::vector<std::string>{"prog", "-x", "1", "+y"}), Arguments(cmd));
    int hNoSound = cmd.RegisterOption("-no-sound", "");
    cmd.CreateFromText("prog -no-sound 1 -x");
    cmd.RemoveOption(hNoSound);
    EXPECT_STREQ("prog -x", cmd.GetText());
    // Last option: the text is cut there and trailing blanks go.
    cmd.CreateFromText("prog -x -beta pw   ");
    cmd.RemoveOption(hBeta);
    EXPECT_STREQ("prog -x", cmd.GetText());
    cmd.CreateFromText("-beta");
    cmd.RemoveOption(hBeta);
    EXPECT_STREQ("", cmd.GetText());
    EXPECT_EQ(0, cmd.GetArgumentCount());

    // Append replaces an earlier occurrence.
    cmd.CreateFromText("prog -beta old -x");
    cmd.AppendOption(hBeta, "new");
    EXPECT_STREQ("prog -x -beta new", cmd.GetText());
    EXPECT_STREQ("new", cmd.GetOptionString(hBeta, nullptr));
    cmd.AppendOption(hLog, nullptr);
    EXPECT_STREQ("prog -x -beta new +log", cmd.GetText());

    CCommandLine empty;
    int hEmptyBeta = empty.RegisterOption("-beta", "");
    empty.AppendOption(hEmptyBeta, "v");
    EXPECT_STREQ("-beta v", empty.GetText());
    EXPECT_EQ(2, empty.GetArgumentCount());
}

TEST(CommandLine, RegistrationIgnoresCaseAndReusesFreedHandles)
{
    CCommandLine cmd;
    EXPECT_EQ(-1, cmd.RegisterOption(nullptr, ""));
    EXPECT_EQ(-1, cmd.RegisterOption("-x", nullptr));
    EXPECT_EQ(-1, cmd.FirstOption());

    int hA = cmd.RegisterOption("-alpha", "first");
    int hB = cmd.RegisterOption("-bravo", "second");
    int hC = cmd.RegisterOption("-charlie", "");
    EXPECT_EQ(hA, cmd.RegisterOption("-ALPHA", "other"));
    EXPECT_STREQ("first", cmd.GetOptionDescription(hA));
    EXPECT_EQ(hA, cmd.FirstOption());
    EXPECT_EQ(hB, cmd.NextOption(hA));
    EXPECT_EQ(hC, cmd.NextOption(hB));
    EXPECT_EQ(-1, cmd.NextOption(hC));

    cmd.UnregisterOption(hB);
    EXPECT_EQ(nullptr, cmd.GetOptionName(hB));
    EXPECT_EQ(hC, cmd.NextOption(hA));
    cmd.CreateFromText("prog -bravo");
    EXPECT_EQ(nullptr, cmd.FindOption(hB));

    // The freed handle is handed out again, and the new option goes to the end.
    int hD = cmd.RegisterOption("-delta", "");
    EXPECT_EQ(hB, hD);
    EXPECT_STREQ("-delta", cmd.GetOptionName(hD));
    EXPECT_EQ(hD, cmd.NextOption(hC));

    CSpewCapture spew;
    cmd.PrintOptions();
    EXPECT_TRUE(spew.BContains("\"-alpha\" : first\n"));
    EXPECT_TRUE(spew.BContains("Command line options:\n"));
}

TEST(CommandLine, ProcessObjectIsFilledAndOptionsRegisterWithIt)
{
    ICommandLine *pCommandLine = GetCommandLineObject();
    ASSERT_NE(nullptr, pCommandLine);
    EXPECT_EQ(pCommandLine, GetCommandLineObject());
    // Filled from the system's text at first use: the test program's own arguments.
    ASSERT_NE(nullptr, pCommandLine->GetText());
    EXPECT_GE(pCommandLine->GetArgumentCount(), 1);

    int hOption;
    {
        CCommandLineOption option("-test_only_option", "");
        hOption = option.GetHandle();
        ASSERT_NE(-1, hOption);
        EXPECT_STREQ("-test_only_option", pCommandLine->GetOptionName(hOption));
    }
    EXPECT_EQ(nullptr, pCommandLine->GetOptionName(hOption));
}

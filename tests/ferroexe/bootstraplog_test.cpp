#include "ferroexe/bootstraplog.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace
{
const std::regex k_reLine(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] (.*))");

// The lines after the separator(s), split at "\r\n".
std::vector<std::string> Lines(const std::string &strLog)
{
    std::vector<std::string> vecLines;
    size_t iPos = 0;
    while (iPos < strLog.size())
    {
        size_t iEnd = strLog.find("\r\n", iPos);
        if (iEnd == std::string::npos)
        {
            vecLines.push_back(strLog.substr(iPos));
            break;
        }
        if (iEnd > iPos)
            vecLines.push_back(strLog.substr(iPos, iEnd - iPos));
        iPos = iEnd + 2;
    }
    return vecLines;
}
} // namespace

TEST(BootstrapLog, LineFormat)
{
    PlatLocalTime_t time = {2026, 3, 7, 9, 5, 2};
    EXPECT_EQ("[2026-03-07 09:05:02] Startup\r\n", FormatBootstrapLogLine(time, "Startup"));
    // A text ending in a line feed keeps it before the line end.
    EXPECT_EQ("[2026-03-07 09:05:02] Failed to load manifest\n\r\n",
              FormatBootstrapLogLine(time, "Failed to load manifest\n"));
    EXPECT_EQ("[2026-03-07 09:05:02] 100% %s\r\n", FormatBootstrapLogLine(time, "100% %s"));
}

TEST(BootstrapLog, OpenCreatesTheLogsDirectoryAndSeparatesRuns)
{
    CTempDir dir;
    std::string strLog = dir.File("logs/bootstrap_log.txt");
    {
        CBootstrapLogFile log;
        EXPECT_TRUE(log.BOpen(dir.Path().c_str()));
        EXPECT_TRUE(log.BOpen(dir.Path().c_str())) << "open already";
        EXPECT_EQ("\r\n\r\n", ReadTextFile(strLog));
        log.WriteLine("Startup");
        log.WriteLine("Failed to load manifest\n");
    }
    {
        CBootstrapLogFile log;
        ASSERT_TRUE(log.BOpen(dir.Path().c_str()));
        log.WriteLine("Shutdown");
    }
    std::string strContent = ReadTextFile(strLog);
    ASSERT_EQ(0u, strContent.find("\r\n\r\n["));
    std::vector<std::string> vecLines = Lines(strContent);
    ASSERT_EQ(3u, vecLines.size()) << strContent;
    std::smatch match;
    ASSERT_TRUE(std::regex_match(vecLines[0], match, k_reLine));
    EXPECT_EQ("Startup", match[1]);
    EXPECT_NE(std::string::npos, strContent.find("] Failed to load manifest\n\r\n\r\n\r\n["));
    ASSERT_TRUE(std::regex_match(vecLines[2], match, k_reLine));
    EXPECT_EQ("Shutdown", match[1]);
}

TEST(BootstrapLog, RotatesAtOpenFromTheMaximumSizeOn)
{
    CTempDir dir;
    std::filesystem::create_directories(dir.File("logs"));
    std::string strLog = dir.File("logs/bootstrap_log.txt");
    std::string strPrevious = dir.File("logs/bootstrap_log.previous.txt");

    // One byte short: appended to.
    ASSERT_TRUE(WriteTextFile(strLog, std::string(131071, 'a')));
    ASSERT_TRUE(WriteTextFile(strPrevious, "older"));
    {
        CBootstrapLogFile log;
        ASSERT_TRUE(log.BOpen(dir.Path().c_str()));
    }
    EXPECT_EQ(131071u + 4u, std::filesystem::file_size(strLog));
    EXPECT_EQ("older", ReadTextFile(strPrevious));

    // At the maximum: moved aside, replacing the older previous log.
    ASSERT_TRUE(WriteTextFile(strLog, std::string(131072, 'b')));
    {
        CBootstrapLogFile log;
        ASSERT_TRUE(log.BOpen(dir.Path().c_str()));
        log.WriteLine("after");
    }
    EXPECT_EQ(std::string(131072, 'b'), ReadTextFile(strPrevious));
    std::vector<std::string> vecLines = Lines(ReadTextFile(strLog));
    ASSERT_EQ(1u, vecLines.size());
    EXPECT_TRUE(std::regex_match(vecLines[0], k_reLine));

    // A log may grow past the maximum during a run; only the next open moves it.
    {
        CBootstrapLogFile log;
        ASSERT_TRUE(log.BOpen(dir.Path().c_str()));
        log.WriteLine(std::string(131072, 'c').c_str());
        log.WriteLine("and another");
    }
    EXPECT_EQ(3u, Lines(ReadTextFile(strLog)).size());
    {
        CBootstrapLogFile log;
        ASSERT_TRUE(log.BOpen(dir.Path().c_str()));
    }
    EXPECT_EQ(3u, Lines(ReadTextFile(strPrevious)).size());
    EXPECT_EQ("\r\n\r\n", ReadTextFile(strLog));
}

TEST(BootstrapLog, ClosedDisabledOrUnopenableLogsWriteNothing)
{
    CTempDir dir;
    CBootstrapLogFile closed;
    closed.WriteLine("nowhere");
    EXPECT_FALSE(closed.BIsOpen());

    // The base directory is a file: the log stays closed, silently.
    ASSERT_TRUE(WriteTextFile(dir.File("file"), "x"));
    CBootstrapLogFile unopenable;
    EXPECT_FALSE(unopenable.BOpen(dir.File("file").c_str()));
    unopenable.WriteLine("nowhere");
    EXPECT_FALSE(unopenable.BIsOpen());

    CBootstrapLogFile log;
    ASSERT_TRUE(log.BOpen(dir.Path().c_str()));
    log.SetMaxSize(0);
    log.WriteLine("not written");
    log.SetMaxSize(131072);
    log.SetEnabled(false);
    log.WriteLine("not written either");
    log.Close();
    log.WriteLine("after close");
    EXPECT_EQ("\r\n\r\n", ReadTextFile(dir.File("logs/bootstrap_log.txt")));
}

TEST(BootstrapLog, TwoThreadsLeaveWholeLines)
{
    CTempDir dir;
    const int k_cLinesPerThread = 10000;
    {
        CBootstrapLogFile log;
        ASSERT_TRUE(log.BOpen(dir.Path().c_str()));
        auto Writer = [&log](char chThread)
        {
            for (int i = 0; i < k_cLinesPerThread; ++i)
                log.WriteLine((std::string(1, chThread) + " line " + std::to_string(i) + " " +
                               std::string(40, chThread))
                                  .c_str());
        };
        std::thread threadA(Writer, 'A');
        std::thread threadB(Writer, 'B');
        threadA.join();
        threadB.join();
    }
    std::vector<std::string> vecLines = Lines(ReadTextFile(dir.File("logs/bootstrap_log.txt")));
    ASSERT_EQ(2u * k_cLinesPerThread, vecLines.size());
    int rgnNext[2] = {0, 0};
    for (const std::string &strLine : vecLines)
    {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(strLine, match, k_reLine)) << strLine;
        std::string strText = match[1];
        int iThread = strText[0] == 'A' ? 0 : 1;
        // Each thread's lines whole and in the order it wrote them.
        EXPECT_EQ(strText, std::string(1, strText[0]) + " line " + std::to_string(rgnNext[iThread]) + " " +
                               std::string(40, strText[0]));
        ++rgnNext[iThread];
    }
    EXPECT_EQ(k_cLinesPerThread, rgnNext[0]);
    EXPECT_EQ(k_cLinesPerThread, rgnNext[1]);
}

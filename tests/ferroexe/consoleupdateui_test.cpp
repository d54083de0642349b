#include "ferroexe/consoleupdateui.h"

#include "ferroexe/crashhandler.h"
#include "foundation/clock.h"
#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace
{
// A console UI writing to and reading from temporary files.
class CConsoleUnderTest
{
public:
    explicit CConsoleUnderTest(const std::string &strInput = "")
        : m_pOut(tmpfile()), m_pIn(tmpfile()), m_UI(m_pOut, m_pIn)
    {
        fputs(strInput.c_str(), m_pIn);
        rewind(m_pIn);
    }
    ~CConsoleUnderTest()
    {
        fclose(m_pOut);
        fclose(m_pIn);
    }
    CConsoleUpdateUI &UI() { return m_UI; }
    std::string Output()
    {
        fflush(m_pOut);
        long cub = ftell(m_pOut);
        std::string str((size_t)cub, '\0');
        rewind(m_pOut);
        size_t cubRead = fread(&str[0], 1, str.size(), m_pOut);
        str.resize(cubRead);
        fseek(m_pOut, 0, SEEK_END);
        return str;
    }

private:
    FILE *m_pOut;
    FILE *m_pIn;
    CConsoleUpdateUI m_UI;
};

int RecordAnswer(int nAnswer, void *pvContext)
{
    *static_cast<int *>(pvContext) = nAnswer;
    return 100 + nAnswer;
}
} // namespace

TEST(ConsoleUpdateUI, LinesCarryThePercentageOrDashes)
{
    CConsoleUnderTest console;
    CConsoleUpdateUI &ui = console.UI();
    ui.SetStatusText("Checking");
    ui.SetProgress(100);
    ui.SetStatusText("Done");
    ui.SetProgress(7);
    ui.ShowFatalError("Broken");
    ui.SetProgress(101);
    ui.SetStatusText("Over");
    ui.SetProgress(-1);
    ui.SetStatusText("Unknown");
    ui.ShowFatalError("Still broken");
    ui.SetProgress(0);
    ui.SetStatusText(nullptr);
    EXPECT_EQ("[  0%] Checking\n"
              "[100%] Done\n"
              "[  7%] !!! Fatal Error: Broken\n"
              "[----] Over\n"
              "[----] Unknown\n"
              "[----] !!! Fatal Error: Still broken\n"
              "[  0%] \n",
              console.Output());
}

TEST(ConsoleUpdateUI, AskYesNoReadsOneCharacter)
{
    struct Case_t
    {
        const char *m_pchInput;
        int m_nExpected;
    } rgCases[] = {{"Y\n", 0}, {"y", 0}, {"\n", 1}, {"yes", 0}, {"n\n", 1}, {"", 1}, {" y\n", 1}};
    for (const Case_t &c : rgCases)
    {
        CConsoleUnderTest console(c.m_pchInput);
        int nAnswer = -1;
        EXPECT_EQ(100 + c.m_nExpected, console.UI().AskYesNo("Proceed?", &RecordAnswer, &nAnswer))
            << c.m_pchInput;
        EXPECT_EQ(c.m_nExpected, nAnswer) << c.m_pchInput;
        EXPECT_EQ("Proceed? [y/N]\n", console.Output());
    }

    // Only one character is taken: the next question reads the next one.
    CConsoleUnderTest console("yn");
    int nAnswer = -1;
    console.UI().AskYesNo("First?", &RecordAnswer, &nAnswer);
    EXPECT_EQ(0, nAnswer);
    console.UI().AskYesNo("Second?", &RecordAnswer, &nAnswer);
    EXPECT_EQ(1, nAnswer);
}

TEST(ConsoleUpdateUI, RunFrameWaitsUntilTheDeadlineOrAWake)
{
    CScopedManualClock clock;
    CConsoleUnderTest console;
    CConsoleUpdateUI &ui = console.UI();

    // A deadline in the past: no wait, so the clock need not move.
    uint64 ulStart = Clock_GetTicks();
    uint64 ulDeadline = ulStart - 5000;
    EXPECT_TRUE(ui.BRunFrame(&ulDeadline));
    ulDeadline = ulStart;
    EXPECT_TRUE(ui.BRunFrame(&ulDeadline));

    // A wake that came before the frame ends its wait at once, however far the deadline;
    // it is used up by that one frame.
    ui.WakeFrame();
    ulDeadline = ulStart + 3600000000ull;
    EXPECT_TRUE(ui.BRunFrame(&ulDeadline));
    EXPECT_EQ(ulStart, Clock_GetTicks());

    // A wake from another thread ends a wait in progress; without one, the wait ends when the
    // clock reaches the deadline (25.9 ms ahead: 25 whole milliseconds).
    std::thread waker([&]() { ui.WakeFrame(); });
    EXPECT_TRUE(ui.BRunFrame(&ulDeadline));
    waker.join();
    // The clock moves a millisecond at a time until the frame is over (a jump could come
    // between the frame's look at the clock and the start of its wait, and move the wait's
    // end along with it).
    ulDeadline = Clock_GetTicks() + 25900;
    std::atomic<bool> bFrameOver(false);
    std::thread advancer(
        [&]()
        {
            for (int iStep = 0; iStep < 1000 && !bFrameOver; ++iStep)
            {
                clock->AdvanceMilliseconds(1);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    EXPECT_TRUE(ui.BRunFrame(&ulDeadline));
    bFrameOver = true;
    advancer.join();
    EXPECT_GE(Clock_GetTicks(), ulStart + 25000);
    EXPECT_LE(Clock_GetTicks(), ulStart + 27000);
}

TEST(ConsoleUpdateUI, BuildTimestampIsFourteenDigits)
{
    char rgch[16];
    EXPECT_TRUE(BFormatBuildTimestamp("Feb  3 2026", "07:08:09", rgch, sizeof(rgch)));
    EXPECT_STREQ("20260203070809", rgch);
    EXPECT_TRUE(BFormatBuildTimestamp("Dec 31 1999", "23:59:59", rgch, sizeof(rgch)));
    EXPECT_STREQ("19991231235959", rgch);
    EXPECT_FALSE(BFormatBuildTimestamp("Foo 31 1999", "23:59:59", rgch, sizeof(rgch)));
    EXPECT_STREQ("00000000000000", rgch);
    EXPECT_FALSE(BFormatBuildTimestamp("Jan  1 2000", "25:00:00", rgch, sizeof(rgch)));

    // The version of an install without a manifest.
    FormatBootstrapperVersionText(rgch, sizeof(rgch));
    EXPECT_STREQ("0", rgch);
}

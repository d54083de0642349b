// Helpers for unit tests: capturing assertion and message texts, temporary directories.
#pragma once

#include "foundation/dbg.h"

#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#ifdef _WIN32
// The POSIX names for changing the environment, which the Windows C runtime lacks
// (windowstestsupport.cpp). The registry there is the system's, in the Wine prefix of the
// run: pointing FERRO_REGISTRY_DIR somewhere, as tests do for a registry of their own,
// empties the launcher's keys instead, so each test starts from none.
int setenv(const char *pchName, const char *pchValue, int nOverwrite);
int unsetenv(const char *pchName);
#endif

// Collects every assertion and message while it exists (one at a time per process).
// Texts are also still printed unless bQuiet.
class CSpewCapture
{
public:
    explicit CSpewCapture(bool bQuiet = true);
    ~CSpewCapture();

    std::vector<std::string> Texts();
    std::vector<std::string> Assertions();
    // Whether any captured text contains the given piece.
    bool BContains(const std::string &strPiece);
    int CountContaining(const std::string &strPiece);
    void Clear();

private:
    static void Hook(ESpewType eType, const char *pchGroup, int nLevel, const char *pchText);
    std::mutex m_Mutex;
    std::vector<std::pair<ESpewType, std::string>> m_vecTexts;
    FnSpewHook m_pfnPrevious;
};

// A fresh directory under the system's temporary directory, removed with its content at
// the end of the scope.
class CTempDir
{
public:
    CTempDir();
    ~CTempDir();
    const std::string &Path() const { return m_strPath; }
    // Path of an entry inside, with '/' separators.
    std::string File(const std::string &strRelative) const { return m_strPath + "/" + strRelative; }

private:
    std::string m_strPath;
};

// Waits for what other threads or processes bring about: looks at the condition until it
// holds or the real time limit has passed, and returns its value. Between two looks runs
// fnStep when given (a frame pass; it returns whether it found work) and sleeps a
// millisecond unless the step found work. A bound against a hang, never a measurement.
bool BWaitUntil(const std::function<bool()> &fnCondition, uint32 unMaxMilliseconds = 20000,
                const std::function<bool()> &fnStep = nullptr);

// A text as a file written in text mode holds it: "\r\n" line ends on Windows.
std::string TextModeFile(const std::string &strText);

// Whole-file helpers.
bool WriteTextFile(const std::string &strPath, const std::string &strContent);
std::string ReadTextFile(const std::string &strPath);

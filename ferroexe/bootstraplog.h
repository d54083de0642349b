// CBootstrapLogFile: the launcher's own text log, logs/<name>.txt under a base directory
// (the install directory), one timestamped line per event, with one step of rotation to
// logs/<name>.previous.txt when a run starts and the log has reached its maximum size.
//
// The updater owns one ("bootstrap_log"), opens it in its constructor and closes it when it
// is destroyed. Lines are written from the updater thread and from the main thread (the
// exports, the shutdown); each line is written whole under a lock, so lines never mix.
// A log that cannot be opened stays closed for the run and every write is skipped silently.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/platform/time.h"

#include <cstdio>
#include <mutex>
#include <string>

class CBootstrapLogFile
{
public:
    // Rotation threshold in bytes: a log at least this long is moved aside at the next Open.
    static const uint32 k_cubDefaultMaxSize = 131072;

    // The name is cut to 31 characters; the other fields take their defaults (maximum size
    // k_cubDefaultMaxSize, enabled).
    explicit CBootstrapLogFile(const char *pchLogName = "bootstrap_log");
    // Closes the file.
    virtual ~CBootstrapLogFile();
    CBootstrapLogFile(const CBootstrapLogFile &) = delete;
    CBootstrapLogFile &operator=(const CBootstrapLogFile &) = delete;

    // Opens "<dir>/logs/<name>.txt" for appending (creating the logs directory), after
    // moving a log of at least the maximum size to "<dir>/logs/<name>.previous.txt", and
    // writes the run separator "\r\n\r\n". True when the file is open (also when it was
    // open already). pchBaseDir null: the install directory.
    bool BOpen(const char *pchBaseDir = nullptr);
    void Close();
    bool BIsOpen();

    // Appends "[YYYY-MM-DD hh:mm:ss] <text>\r\n" (local time; the text unchanged, so a text
    // ending in "\n" keeps it). Nothing when closed, disabled or with a maximum size of 0.
    void WriteLine(const char *pchText);

    const char *GetLogName() const { return m_rgchLogName; }
    uint32 GetMaxSize() const { return m_cubMaxSize; }
    // 0 disables writing.
    void SetMaxSize(uint32 cubMaxSize) { m_cubMaxSize = cubMaxSize; }
    void SetEnabled(bool bEnabled) { m_bEnabled = bEnabled; }

private:
    char m_rgchLogName[32];
    uint32 m_cubMaxSize;
    bool m_bEnabled;
    // Every line is echoed to the diagnostics in this group, at the chatter level: the
    // log file is where these lines are read, so they stay off the console by default.
    const char *m_pchDiagnosticsGroup;
    int32 m_nDiagnosticsLevel;

    std::mutex m_Mutex; // guards m_pFile and every write
    FILE *m_pFile = nullptr;
};

// One line of the log: "[%s] %s\r\n" with the time as "%04u-%02u-%02u %02u:%02u:%02u".
std::string FormatBootstrapLogLine(const PlatLocalTime_t &time, const char *pchText);

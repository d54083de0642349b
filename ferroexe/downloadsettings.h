// How the updater's transfers behave on a bad line: the minimum rate below which a
// transfer (the manifest, a package) fails, and how often and after what pauses a package
// download that failed on the network is tried again within a run. Build settings
// (FERRO_LOW_SPEED_BYTES_PER_SECOND, FERRO_LOW_SPEED_WINDOW_SECONDS,
// FERRO_PACKAGE_DOWNLOAD_ATTEMPTS, FERRO_PACKAGE_RETRY_PAUSE_MS).
#pragma once

#include "foundation/basetypes.h"

#include <string>

#ifndef FERRO_LOW_SPEED_BYTES_PER_SECOND
#define FERRO_LOW_SPEED_BYTES_PER_SECOND 1024
#endif
#ifndef FERRO_LOW_SPEED_WINDOW_SECONDS
#define FERRO_LOW_SPEED_WINDOW_SECONDS 60
#endif
#ifndef FERRO_PACKAGE_DOWNLOAD_ATTEMPTS
#define FERRO_PACKAGE_DOWNLOAD_ATTEMPTS 5
#endif
#ifndef FERRO_PACKAGE_RETRY_PAUSE_MS
#define FERRO_PACKAGE_RETRY_PAUSE_MS 2000
#endif

struct DownloadSettings_t
{
    // A transfer that moves fewer than this many bytes per second over a whole window fails;
    // 0 for either: no minimum.
    uint32 m_cubLowSpeedLimit = FERRO_LOW_SPEED_BYTES_PER_SECOND;
    uint32 m_unLowSpeedWindowSeconds = FERRO_LOW_SPEED_WINDOW_SECONDS;
    // Attempts of one package in a run (the first and the retries), at least 1.
    uint32 m_cPackageAttempts = FERRO_PACKAGE_DOWNLOAD_ATTEMPTS;
    // The pause before the first retry; it doubles with each further one.
    uint32 m_msFirstRetryPause = FERRO_PACKAGE_RETRY_PAUSE_MS;
    // The player's limit on the download rate (bytes per second, 0 for none): the minimum
    // rate above must stay below what one of several connections gets under it.
    uint64 m_cubRateLimit = 0;
};

// The build's settings, with the test-only environment overrides
// FERRO_TEST_LOW_SPEED="BYTES/SECONDS" and FERRO_TEST_RETRY_PAUSE_MS=MS (end-to-end tests use
// them to see a trickle fail in seconds rather than a minute).
DownloadSettings_t DefaultDownloadSettings();

// The minimum rate for one transfer: the configured one, lowered under a rate limit so that
// a limited transfer sharing the line with others is not taken for a trickle.
uint32 EffectiveLowSpeedLimit(const DownloadSettings_t &settings, uint32 cConnections);

// The largest rate limit a player may set (KB/s): far beyond any line, and small enough
// for the limiter's arithmetic.
const uint64 k_unMaxDownloadRateKBps = 100000000;
// A rate limit as the player writes it: decimal digits only (blanks around them allowed),
// at most k_unMaxDownloadRateKBps. False for anything else.
bool BParseDownloadRateKBps(const char *pchText, uint64 *pulKBps);
// The value of "-downloadrate" in a command line (the word after it), empty when the
// option is not there; *pbPresent tells an option without a value from none.
std::string DownloadRateOption(const char *pchCommandLine, bool *pbPresent);

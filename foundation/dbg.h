// Diagnostics: assertions that report and continue, and messages by group and level.
//
// An assertion writes "Assertion Failed: " and its text to standard error and returns;
// the code after it goes on as if nothing happened. Messages go to standard error when
// their level is within the group's console level. Every assertion and message, printed
// or not, is also handed to the capture hook, so tests can check the exact texts.
// All functions may be called from any thread.
#pragma once

#include "foundation/basetypes.h"

enum ESpewType
{
    k_ESpewAssert = 0,  // "Assertion Failed: ..." (the text passed to the hook has the prefix)
    k_ESpewMessage = 1, // Msg / DMsg / Warning
};

// Receives every assertion and message (the complete text as printed, prefix included).
typedef void (*FnSpewHook)(ESpewType eType, const char *pchGroup, int nLevel, const char *pchText);

// Installs the hook (null removes it) and returns the previous one.
FnSpewHook SetSpewHook(FnSpewHook pfnHook);

// Whether assertions and messages are also printed to standard error (true by default).
void SetSpewToStderr(bool bEnabled);

// Console level of every group: messages with a level above it are not printed (the hook
// still gets them). Default 2, or the value of the environment variable FERRO_SPEW_LEVEL.
// Levels: 1 errors, 2 warnings and notable events, 3 progress, 4 and above chatter.
void SetSpewConsoleLevel(int nLevel);
int GetSpewConsoleLevel();

void AssertFailed(const char *pchText);
void AssertFailedV(const char *pchFormat, ...) FERRO_PRINTF(1, 2);

// Level 1 in the group "general": always printed at the default level.
void Msg(const char *pchFormat, ...) FERRO_PRINTF(1, 2);
void Warning(const char *pchFormat, ...) FERRO_PRINTF(1, 2);
void DMsg(const char *pchGroup, int nLevel, const char *pchFormat, ...) FERRO_PRINTF(3, 4);

#define Assert(exp)                                                                                          \
    do                                                                                                       \
    {                                                                                                        \
        if (!(exp))                                                                                          \
            AssertFailed(#exp);                                                                              \
    } while (0)

#define AssertMsg(exp, msg)                                                                                  \
    do                                                                                                       \
    {                                                                                                        \
        if (!(exp))                                                                                          \
            AssertFailed(msg);                                                                               \
    } while (0)

// A formatted message: AssertMsgF( exp, "Missing String for %s (%d)", pchEnum, nValue ).
#define AssertMsgF(exp, ...)                                                                                 \
    do                                                                                                       \
    {                                                                                                        \
        if (!(exp))                                                                                          \
            AssertFailedV(__VA_ARGS__);                                                                      \
    } while (0)

// The sample client library ("ferro.so", "ferro.dll" on Windows): the "Ferro006" interface
// behind the "_f" factory. Only the start-up and shut-down operations do something; the
// rest of the table is there so that they sit at the positions the launcher calls.
//
// Faults for tests, chosen with the environment variable FERRO_SAMPLE_CLIENT_FAIL:
//   nullinterface   the factory returns null;
//   status:N:TEXT   start-up reports error code N with the description TEXT;
//   garbage-status  start-up reports an error whose description fills the whole field
//                   without a terminating NUL.
#include "clientapi/clientinterface.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
const char *FailMode()
{
    const char *pchMode = getenv("FERRO_SAMPLE_CLIENT_FAIL");
    return pchMode ? pchMode : "";
}

void PrintLine(const char *pchFormat, int nFirst, int nSecond)
{
    printf(pchFormat, nFirst, nSecond);
    fflush(stdout);
}

#define SAMPLE_UNUSED_OPERATION(n)                                                                           \
    virtual void UnusedOperation##n() {}
#define SAMPLE_UNUSED_OPERATIONS_10(d)                                                                       \
    SAMPLE_UNUSED_OPERATION(d##0)                                                                            \
    SAMPLE_UNUSED_OPERATION(d##1)                                                                            \
    SAMPLE_UNUSED_OPERATION(d##2)                                                                            \
    SAMPLE_UNUSED_OPERATION(d##3)                                                                            \
    SAMPLE_UNUSED_OPERATION(d##4)                                                                            \
    SAMPLE_UNUSED_OPERATION(d##5)                                                                            \
    SAMPLE_UNUSED_OPERATION(d##6)                                                                            \
    SAMPLE_UNUSED_OPERATION(d##7)                                                                            \
    SAMPLE_UNUSED_OPERATION(d##8)                                                                            \
    SAMPLE_UNUSED_OPERATION(d##9)

// Declaration order is table order: positions 0-44 unused, 45 Shutdown, 46-144 unused, 145
// Startup, 146-149 unused. No virtual destructor, which would take slots of its own.
class CSampleClient
{
public:
    SAMPLE_UNUSED_OPERATIONS_10(0)
    SAMPLE_UNUSED_OPERATIONS_10(1)
    SAMPLE_UNUSED_OPERATIONS_10(2)
    SAMPLE_UNUSED_OPERATIONS_10(3)
    SAMPLE_UNUSED_OPERATION(40)
    SAMPLE_UNUSED_OPERATION(41)
    SAMPLE_UNUSED_OPERATION(42)
    SAMPLE_UNUSED_OPERATION(43)
    SAMPLE_UNUSED_OPERATION(44)

    virtual void Shutdown(FerroClientStatus_t *pStatus)
    {
        if (pStatus)
            memset(pStatus, 0, sizeof(*pStatus));
        printf("client shutdown\n");
        fflush(stdout);
    }

    SAMPLE_UNUSED_OPERATION(46)
    SAMPLE_UNUSED_OPERATION(47)
    SAMPLE_UNUSED_OPERATION(48)
    SAMPLE_UNUSED_OPERATION(49)
    SAMPLE_UNUSED_OPERATIONS_10(5)
    SAMPLE_UNUSED_OPERATIONS_10(6)
    SAMPLE_UNUSED_OPERATIONS_10(7)
    SAMPLE_UNUSED_OPERATIONS_10(8)
    SAMPLE_UNUSED_OPERATIONS_10(9)
    SAMPLE_UNUSED_OPERATIONS_10(10)
    SAMPLE_UNUSED_OPERATIONS_10(11)
    SAMPLE_UNUSED_OPERATIONS_10(12)
    SAMPLE_UNUSED_OPERATIONS_10(13)
    SAMPLE_UNUSED_OPERATION(140)
    SAMPLE_UNUSED_OPERATION(141)
    SAMPLE_UNUSED_OPERATION(142)
    SAMPLE_UNUSED_OPERATION(143)
    SAMPLE_UNUSED_OPERATION(144)

    virtual void Startup(FerroClientStatus_t *pStatus, bool bOffline, bool bOnline)
    {
        PrintLine("client startup: offline=%d online=%d\n", bOffline ? 1 : 0, bOnline ? 1 : 0);
        if (!pStatus)
            return;
        memset(pStatus, 0, sizeof(*pStatus));
        const char *pchMode = FailMode();
        static const char k_szStatusMode[] = "status:";
        const size_t cchStatusMode = sizeof(k_szStatusMode) - 1;
        if (!strncmp(pchMode, k_szStatusMode, cchStatusMode))
        {
            // "status:3:x": code 3, description "x".
            char *pchEnd = nullptr;
            pStatus->m_nErrorCode = (int32)strtol(pchMode + cchStatusMode, &pchEnd, 10);
            const char *pchText = (pchEnd && *pchEnd == ':') ? pchEnd + 1 : "";
            snprintf(pStatus->m_rgchDescription, sizeof(pStatus->m_rgchDescription), "%s", pchText);
        }
        else if (!strcmp(pchMode, "garbage-status"))
        {
            pStatus->m_nErrorCode = 0x7A7A7A7A;
            pStatus->m_rgunUnused[0] = pStatus->m_rgunUnused[1] = 0xFFFFFFFFu;
            memset(pStatus->m_rgchDescription, 'G', sizeof(pStatus->m_rgchDescription));
        }
    }

    SAMPLE_UNUSED_OPERATION(146)
    SAMPLE_UNUSED_OPERATION(147)
    SAMPLE_UNUSED_OPERATION(148)
    SAMPLE_UNUSED_OPERATION(149)
};

CSampleClient g_SampleClient;
} // namespace

FERRO_EXPORT void *_f(const char *pchInterfaceVersion)
{
    if (!pchInterfaceVersion || strcmp(pchInterfaceVersion, FERRO_CLIENT_INTERFACE_VERSION) != 0)
        return nullptr;
    if (!strcmp(FailMode(), "nullinterface"))
        return nullptr;
    return &g_SampleClient;
}

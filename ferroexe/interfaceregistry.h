// The program's registry of named interfaces, which other modules reach through the
// exported CreateInterface. Names match exactly (case-sensitive).
//
// Registrations are static objects that live as long as the program; they are made before
// main and only read afterwards, from any thread.
#pragma once

#include "clientapi/validate.h"

class CInterfaceRegistration
{
public:
    // pInterface must outlive every caller; the name is not copied.
    CInterfaceRegistration(const char *pchName, void *pInterface);
    CInterfaceRegistration(const CInterfaceRegistration &) = delete;
    CInterfaceRegistration &operator=(const CInterfaceRegistration &) = delete;

    // The interface registered under the name, or null.
    static void *Find(const char *pchName);

private:
    const char *m_pchName;
    void *m_pInterface;
    CInterfaceRegistration *m_pNext;
};

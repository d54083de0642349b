#include "ferroexe/interfaceregistry.h"

#include "foundation/strtools.h"

namespace
{
// A function-local static: registrations run during static initialisation, in no fixed order.
CInterfaceRegistration *&RegistrationListHead()
{
    static CInterfaceRegistration *s_pHead = nullptr;
    return s_pHead;
}

class CValidateStub : public IValidate
{
public:
    void Validate() override {}
};

CValidateStub g_ValidateStub;
// Kept in this file: a registration in a file that nothing else references would be left
// out of the executable by the linker.
CInterfaceRegistration g_ValidateRegistration(VALIDATE_INTERFACE_VERSION,
                                              static_cast<IValidate *>(&g_ValidateStub));
} // namespace

CInterfaceRegistration::CInterfaceRegistration(const char *pchName, void *pInterface)
    : m_pchName(pchName), m_pInterface(pInterface), m_pNext(RegistrationListHead())
{
    RegistrationListHead() = this;
}

void *CInterfaceRegistration::Find(const char *pchName)
{
    if (!pchName)
        return nullptr;
    for (CInterfaceRegistration *pReg = RegistrationListHead(); pReg; pReg = pReg->m_pNext)
    {
        if (!Q_strcmp(pReg->m_pchName, pchName))
            return pReg->m_pInterface;
    }
    return nullptr;
}

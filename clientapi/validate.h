// What the launcher's CreateInterface export hands out.
#pragma once

// The memory validation interface of the diagnostics. The launcher validates nothing, so
// the one it registers ("IVALIDATE001") is a stub whose operation does nothing.
class IValidate
{
public:
    virtual void Validate() = 0;

protected:
    ~IValidate() {}
};
#define VALIDATE_INTERFACE_VERSION "IVALIDATE001"

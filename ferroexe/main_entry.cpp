// Process entry. Everything it calls lives in ferroexe_core.
#include "foundation/basetypes.h"

int BootstrapperMain(int argc, char **argv);

int main(int argc, char **argv)
{
    return BootstrapperMain(argc, argv);
}

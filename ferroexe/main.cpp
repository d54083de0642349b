// Temporary: the main flow arrives with the start-up work.
int BootstrapperMain(int /*argc*/, char ** /*argv*/)
{
    return 7;
}

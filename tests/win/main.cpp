// Test entry point. With "--child ..." or "--exit-with-open-handle ..." the program acts as a
// second host process instead (field_test.cpp, handle_test.cpp), so one executable serves both
// sides of the two-process tests.
#include <gtest/gtest.h>

#include <cstring>

int RunChildHost(int argc, char **argv);
int ExitWithOpenHandle(const char *address);

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0)
        return RunChildHost(argc - 2, argv + 2);
    if (argc > 2 && std::strcmp(argv[1], "--exit-with-open-handle") == 0)
        return ExitWithOpenHandle(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// Test entry point. With "--child ..." the program acts as a second host process instead (see
// field_test.cpp), so one executable serves both sides of the two-process tests.
#include <gtest/gtest.h>

#include <cstring>

int RunChildHost(int argc, char **argv);

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0)
        return RunChildHost(argc - 2, argv + 2);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// The fixture most Windows tests share.
#pragma once

#include <gtest/gtest.h>

#include "tests/win/testbed.h"

// Every test gets a library loaded afresh, so module state never leaks between tests.
class NorvatTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(lib.Load()) << "Norvat.dll or one of its exports is missing"; }
    void TearDown() override { lib.Unload(); }
    Norvat lib;
};

// Whether code is one the platform gave for a failed device call (a device that is gone), rather
// than one of the reasons the library sets itself or none at all.
inline ::testing::AssertionResult IsPlatformFailure(DWORD code)
{
    for (DWORD own : {ERROR_SUCCESS, ERROR_INVALID_PARAMETER, ERROR_INVALID_HANDLE,
                      ERROR_DEVICE_NOT_CONNECTED, ERROR_NO_MORE_ITEMS, ERROR_TIMEOUT})
        if (code == own)
            return ::testing::AssertionFailure() << "reason " << code << " is not the platform's";
    return ::testing::AssertionSuccess() << "reason " << code;
}

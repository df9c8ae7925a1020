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

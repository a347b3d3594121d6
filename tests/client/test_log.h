#pragma once
// The client tests' log folder: what the client logged is printed when the test failed.

#include "client_harness.h"

#include <gtest/gtest.h>

struct TestLog : ClientHarness::LogFolder
{
    ~TestLog() { printOnExit = ::testing::Test::HasFailure(); }
};

#pragma once

// A test on emulated /dev/hidrawN nodes, with a Linux backend that sees them; skipped unless
// the process runs under umockdev-wrapper.
#include "link/hid/LinuxHidBackend.h"
#include "tests/support/UmockdevHidFixture.h"

#include <gtest/gtest.h>

#include <memory>

class TUmockdevTest : public testing::Test {
protected:
    void SetUp() override {
        if (!TUmockdevHidFixture::Available())
            GTEST_SKIP() << "needs the umockdev preload: run the program under umockdev-wrapper";
        FFixture = std::make_unique<TUmockdevHidFixture>();
        FBackend = FFixture->CreateBackend();
    }

    // Every handle to the nodes closes before the testbed goes.
    void TearDown() override {
        FBackend.reset();
        FFixture.reset();
    }

    std::unique_ptr<TUmockdevHidFixture> FFixture;
    std::unique_ptr<TLinuxHidBackend> FBackend;
};

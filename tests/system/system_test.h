// Shared set-up of the system tests: a booted machine with the velmora module
// loaded from its file, as an administrator would load it.
#pragma once

#include <gtest/gtest.h>
#include <machine.h>
#include <standin/machine.h>

#include <string>

namespace velmora::test {

class LoadedModule : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Machine::clearLog();
        ASSERT_EQ(machine.tryLoad(sim::velmoraModulePath()), 0);
    }
    void TearDown() override {
        if (standin_module_refcount("velmora") >= 0) {
            EXPECT_EQ(machine.tryUnload("velmora"), 0);
        }
        if (HasFailure())
            sim::Machine::dumpLog();
    }
    sim::Machine machine;
};

}  // namespace velmora::test

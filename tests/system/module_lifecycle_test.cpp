// Loading and unloading the module, as insmod and rmmod would.
#include "system_test.h"

#include <control_device.h>

#include <cerrno>

namespace velmora::test {
namespace {

using sim::Machine;

TEST(ModuleLifecycle, LoadAndUnloadMessages) {
    Machine machine;
    Machine::clearLog();
    ASSERT_EQ(machine.tryLoad(sim::velmoraModulePath()), 0);
    EXPECT_TRUE(Machine::logHas("velmora: module license 'Proprietary' taints kernel."));
    EXPECT_TRUE(Machine::logHas("velInit: velmora version 3.1.0 build 9504 loaded"));
    ASSERT_EQ(machine.tryUnload("velmora"), 0);
    EXPECT_TRUE(
        Machine::logHas("velUnload: velmora version 3.1.0 build 9504 ready to be unloaded"));
    EXPECT_TRUE(Machine::logHas("velExit: velmora version 3.1.0 build 9504 exiting"));
    auto lines = Machine::log();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].level, 6);
    EXPECT_EQ(lines.back().text, "velExit: velmora version 3.1.0 build 9504 exiting");
}

TEST(ModuleLifecycle, LoadFailsWhenTheMajorIsTaken) {
    Machine machine;
    ASSERT_EQ(machine.tryLoad(HOLDER_MODULE_PATH), 0);
    Machine::clearLog();
    EXPECT_EQ(machine.tryLoad(sim::velmoraModulePath()), -EBUSY);
    EXPECT_TRUE(Machine::logHas("velInit: velmora version 3.1.0 build 9504 load FAILED"));
    EXPECT_EQ(standin_module_refcount("velmora"), -1) << "a failed load leaves no module";
    ASSERT_EQ(machine.tryUnload("holder"), 0);
    // With the major free again the module loads, with its data starting
    // zeroed as on a first load.
    ASSERT_EQ(machine.tryLoad(sim::velmoraModulePath()), 0);
    EXPECT_TRUE(Machine::logHas("velInit: velmora version 3.1.0 build 9504 loaded"));
    {
        agent::ControlDevice dev("/dev/velmora");
        EXPECT_EQ(dev.versionMajor(), 3u);
    }
    EXPECT_EQ(machine.tryUnload("velmora"), 0);
}

TEST(ModuleLifecycle, UnloadRefusedWhileAFileIsOpen) {
    Machine machine;
    ASSERT_EQ(machine.tryLoad(sim::velmoraModulePath()), 0);
    auto dev = std::make_unique<agent::ControlDevice>("/dev/velmora");
    EXPECT_GT(standin_module_refcount("velmora"), 0);
    EXPECT_EQ(machine.tryUnload("velmora"), -EWOULDBLOCK);
    EXPECT_EQ(dev->versionMinor(), 1u) << "the refused unload left the module working";
    dev.reset();
    EXPECT_EQ(standin_module_refcount("velmora"), 0);
    EXPECT_EQ(machine.tryUnload("velmora"), 0);
}

TEST(ModuleLifecycle, ModuleBuiltForAnotherReleaseIsRefused) {
    Machine machine;
    Machine::clearLog();
    EXPECT_EQ(machine.tryLoad(FOREIGN_MODULE_PATH), -ENOEXEC);
    EXPECT_EQ(standin_module_refcount("velmora"), -1);
    const std::string magic = std::string("velmora: version magic '") + FOREIGN_RELEASE + " ";
    const std::string should = std::string("' should be '") + standin_uts_release() + " ";
    bool found = false;
    for (const auto &line : Machine::log())
        found |= line.level == 3 && line.text.rfind(magic, 0) == 0 &&
                 line.text.find(should) != std::string::npos;
    EXPECT_TRUE(found) << "no version magic refusal in the kernel log";
    // The module built for this kernel still loads.
    ASSERT_EQ(machine.tryLoad(sim::velmoraModulePath()), 0);
    EXPECT_EQ(machine.tryUnload("velmora"), 0);
}

TEST(ModuleLifecycle, ModuleBuiltForTheKernelItRunsOn) {
    Machine machine;
    EXPECT_EQ(machine.tryLoad("/nonexistent/velmora.ko"), -ENOEXEC);
    EXPECT_TRUE(Machine::logHas("velmora: cannot read the module file /nonexistent/velmora.ko"));
}

}  // namespace
}  // namespace velmora::test

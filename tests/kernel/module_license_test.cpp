// The loader resolves a module's symbols as Linux does: a GPL-only export is
// unknown to a module whose licence is not GPL-compatible.
#include <gtest/gtest.h>
#include <standin/machine.h>

#include <cerrno>
#include <string>

namespace {

bool logHas(int level, const std::string &text) {
    char line[512];
    for (unsigned long i = 0; i < standin_klog_lines(); ++i)
        if (standin_klog_line(i, line, sizeof line) == level && text == line)
            return true;
    return false;
}

TEST(ModuleLicense, GplOnlySymbolIsUnknownToAProprietaryModule) {
    standin_boot();
    standin_klog_clear();
    EXPECT_EQ(standin_insmod(GPL_USER_PROPRIETARY_PATH), -ENOENT);
    EXPECT_TRUE(logHas(4, "gpl_user_proprietary: module license 'Proprietary' taints kernel."));
    EXPECT_TRUE(logHas(4, "gpl_user_proprietary: Unknown symbol synchronize_sched"));
    EXPECT_EQ(standin_module_refcount("gpl_user_proprietary"), -1);
    ASSERT_EQ(standin_insmod(GPL_USER_GPL_PATH), 0);
    EXPECT_FALSE(logHas(4, "gpl_user_gpl: Unknown symbol synchronize_sched"));
    EXPECT_EQ(standin_rmmod("gpl_user_gpl"), 0);
}

}  // namespace

// Runs the in-kernel unit tests of this program as GoogleTest tests: one test
// per case, named suite.case. A suite that names a module gets it loaded
// before each case and unloaded (and checked for leaks) after it.
#include <gtest/gtest.h>
#include <standin/kunit.h>
#include <standin/machine.h>

#include <string>

namespace {

void report(void *ctx, const char *file, int line, const char *msg) {
    (void)ctx;
    ADD_FAILURE_AT(file, line) << msg;
}

class KunitCase : public ::testing::Test {
  public:
    KunitCase(int suite, int kcase) : suite_(suite), case_(kcase) {}

    void TestBody() override {
        const char *module = standin_kunit_suite_module(suite_);
        const char *bug = standin_kunit_case_expect_bug(suite_, case_);
        if (module) {
            ASSERT_EQ(standin_insmod(modulePath(module).c_str()), 0);
        }
        if (bug) {
            EXPECT_DEATH(standin_kunit_run(suite_, case_, report, nullptr), bug);
        } else {
            standin_kunit_run(suite_, case_, report, nullptr);
        }
        if (module) {
            EXPECT_EQ(standin_rmmod(module), 0);
        }
        if (HasFailure())
            standin_klog_dump();
    }

  private:
    static std::string modulePath(const char *name) {
        return std::string(KUNIT_MODULE_DIR) + "/" + name + ".ko";
    }
    int suite_, case_;
};

}  // namespace

int main(int argc, char **argv) {
    standin_boot();
    ::testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int s = 0; s < standin_kunit_suites(); ++s) {
        for (int c = 0; c < standin_kunit_cases(s); ++c) {
            ::testing::RegisterTest(standin_kunit_suite_name(s), standin_kunit_case_name(s, c),
                                    nullptr, nullptr, __FILE__, __LINE__,
                                    [=]() -> ::testing::Test * { return new KunitCase(s, c); });
        }
    }
    return RUN_ALL_TESTS();
}

// Registration of the module's statistics against hosts that already hold some of them.
#include "tests/support/module_fixture.h"

using Lines = std::vector<std::string>;

class Statistics : public ModuleTest {
protected:
    static std::vector<std::string> creations()
    {
        std::vector<std::string> found;
        for (const std::string &call : host_side_calls())
            if (call.find("_create") != std::string::npos) found.push_back(call);
        return found;
    }
};

TEST_F(Statistics, NewHostGetsTheModuleAndBothCategories)
{
    stats_register();
    EXPECT_EQ(creations(), (Lines{"module_create Tollgate", "category_create 101 Blocked hosts 1 0 4 1",
                                  "category_create 101 MaxListSize 1 0 4 2"}));
    EXPECT_EQ(stat_blocked, 102);
    EXPECT_EQ(stat_max_list, 103);
    EXPECT_TRUE(host_side_log().empty());
}

TEST_F(Statistics, HostThatHasEverythingGetsNoCreateCall)
{
    host_side_add_module("Other");
    int32_t module = host_side_add_module("Tollgate");
    host_side_add_category(module, "MaxListSize", STAT_KIND_PEAK);
    int32_t blocked = host_side_add_category(module, "Blocked hosts", STAT_KIND_COUNTER);
    int32_t max_list = host_side_categories()[0].handle;
    stats_register();
    EXPECT_TRUE(creations().empty());
    EXPECT_EQ(stat_blocked, blocked);
    EXPECT_EQ(stat_max_list, max_list);
}

TEST_F(Statistics, OnlyTheMissingCategoryIsCreated)
{
    int32_t module = host_side_add_module("Tollgate");
    int32_t max_list = host_side_add_category(module, "MaxListSize", STAT_KIND_PEAK);
    stats_register();
    EXPECT_EQ(creations(),
              (Lines{"category_create " + std::to_string(module) + " Blocked hosts 1 0 4 1"}));
    EXPECT_EQ(stat_max_list, max_list);
    EXPECT_NE(stat_blocked, 0);
}

TEST_F(Statistics, NamesMatchExactlyAndCaseSensitively)
{
    int32_t lookalike = host_side_add_module("tollgate");
    host_side_add_category(lookalike, "Blocked hosts", STAT_KIND_COUNTER);
    host_side_add_module("Tollgate2");
    int32_t module = host_side_add_module("Tollgate");
    host_side_add_category(module, "blocked hosts", STAT_KIND_COUNTER);
    host_side_add_category(module, "MaxListSize ", STAT_KIND_PEAK);
    stats_register();
    EXPECT_EQ(creations(),
              (Lines{"category_create " + std::to_string(module) + " Blocked hosts 1 0 4 1",
                     "category_create " + std::to_string(module) + " MaxListSize 1 0 4 2"}));
}

TEST_F(Statistics, CategoriesOfOtherModulesAreNotTaken)
{
    int32_t other = host_side_add_module("Other");
    host_side_add_category(other, "Blocked hosts", STAT_KIND_COUNTER);
    host_side_add_category(other, "MaxListSize", STAT_KIND_PEAK);
    int32_t module = host_side_add_module("Tollgate");
    stats_register();
    EXPECT_EQ(host_side_call_count("category_create " + std::to_string(module)), 2);
}

TEST_F(Statistics, FailedModuleCreationLogsOnceAndAsksForNoCategory)
{
    host_side_fail_module_create(true);
    stat_blocked = 0;
    stat_max_list = 0;
    stats_register();
    EXPECT_EQ(creations(), (Lines{"module_create Tollgate"}));
    std::vector<host_log_line> log = host_side_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].text, "Unable to register Tollgate statistic");
    EXPECT_EQ(log[0].type, LOG_TYPE_DAEMON);
    EXPECT_EQ(log[0].priority, LOG_PRIO_ERROR);
    EXPECT_EQ(stat_blocked, 0);
    EXPECT_EQ(stat_max_list, 0);
}

TEST_F(Statistics, FailedCategoryLeavesItsHandleAtZeroAndTheOtherRegistered)
{
    const struct {
        const char *failing;
        const char *line;
    } cases[] = {{"Blocked hosts", "Tollgate: Unable to register Blocked category"},
                 {"MaxListSize", "Tollgate: Unable to register MaxListSize category"}};
    for (const auto &c : cases) {
        host_side_reset();
        host_side_fail_category_create(c.failing);
        stats_register();
        std::vector<host_log_line> log = host_side_log();
        ASSERT_EQ(log.size(), 1u) << c.failing;
        EXPECT_EQ(log[0].text, c.line);
        EXPECT_EQ(log[0].priority, LOG_PRIO_ERROR);
        bool blocked_failed = std::string(c.failing) == "Blocked hosts";
        EXPECT_EQ(stat_blocked == 0, blocked_failed);
        EXPECT_EQ(stat_max_list == 0, !blocked_failed);
    }
}

// The sweeper thread: first sweep after the start delay, logging, and prompt stopping.
#include <windows.h>

#include "tests/support/module_fixture.h"
#include "tracking/events/sweeper.h"

class Sweeper : public ModuleTest {
protected:
    void TearDown() override
    {
        stop();
        sweeper_disarm();
        ModuleTest::TearDown();
    }
    void start()
    {
        ASSERT_EQ(sweeper_arm(), 1);
        thread_ = CreateThread(nullptr, 0, sweeper_thread, nullptr, 0, nullptr);
        ASSERT_NE(thread_, nullptr);
    }
    // Requests the stop and waits for the thread; true when it ended within `limit_ms`.
    bool stop(DWORD limit_ms = 500)
    {
        if (!thread_) return true;
        sweeper_request_stop();
        bool ended = WaitForSingleObject(thread_, limit_ms) == WAIT_OBJECT_0;
        if (!ended) WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
        return ended;
    }
    // Waits (bounded) until a log line contains `needle`.
    static bool wait_for_line(const char *needle, DWORD limit_ms = 3000)
    {
        for (DWORD waited = 0; waited < limit_ms; waited += 10) {
            if (host_side_log_count(needle) > 0) return true;
            Sleep(10);
        }
        return false;
    }
    HANDLE thread_ = nullptr;
};

TEST_F(Sweeper, FirstSweepFreesQuietAddressesAndLogsHowMany)
{
    settings.clear_time = 1;
    connect_text("10.0.0.1");
    connect_text("10.0.0.2");
    test_now += 30;
    connect_text("10.0.0.3");
    test_now += 31; // 61 s and 61 s for the first two, 31 s for the third
    start();
    ASSERT_TRUE(wait_for_line("IPs released by timeout"));
    std::vector<host_log_line> log = host_side_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].text, "Tollgate: 2 IPs released by timeout");
    EXPECT_EQ(log[0].type, LOG_TYPE_DAEMON);
    EXPECT_EQ(log[0].priority, LOG_PRIO_DETAIL);
    EXPECT_EQ(db_held(db_current()), 1);
}

TEST_F(Sweeper, SweepThatFreesNothingLogsNothing)
{
    connect_text("10.0.0.1");
    start();
    Sleep(SWEEPER_START_DELAY_MS + 200);
    EXPECT_TRUE(stop());
    EXPECT_TRUE(host_side_log().empty());
    EXPECT_EQ(db_held(db_current()), 1);
}

TEST_F(Sweeper, StopRequestEndsTheIntervalWaitAtOnce)
{
    start();
    Sleep(SWEEPER_START_DELAY_MS + 100); // well inside the 30-second wait
    EXPECT_TRUE(stop(500)) << "the sweeper must end within half a second of a stop request";
}

TEST_F(Sweeper, NoSweepRunsAfterAStopRequest)
{
    settings.clear_time = 1;
    connect_text("10.0.0.1");
    test_now += 3600;
    start();
    EXPECT_TRUE(stop()); // requested during the start delay
    EXPECT_EQ(db_held(db_current()), 1);
    EXPECT_TRUE(host_side_log().empty());
}

TEST_F(Sweeper, RearmedSweeperRunsAgainAfterAStop)
{
    start();
    EXPECT_TRUE(stop());
    settings.clear_time = 1;
    connect_text("10.0.0.1");
    test_now += 61;
    start();
    EXPECT_TRUE(wait_for_line("Tollgate: 1 IPs released by timeout"));
}

TEST_F(Sweeper, SweepsAgainEveryInterval)
{
    settings.sweep_interval = 1;
    settings.clear_time = 1;
    start();
    ASSERT_TRUE(wait_for_line("zzz-never", SWEEPER_START_DELAY_MS + 100) == false);
    connect_text("10.0.0.1");
    test_now += 61;
    EXPECT_TRUE(wait_for_line("Tollgate: 1 IPs released by timeout"));
}

// Start-up and shutdown with the operating system made to fail or stall: the module's objects
// linked in, the operating-system table and the table clock replaced, the host played by
// host_side.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/daemon.h"
#include "host/base/entry_points.h"
#include "host/base/os.h"
#include "mailhost/host_side.h"
#include "settings/values/settings.h"
#include "tests/support/table_text.h"
#include "tracking/ip_db.h"
#include "tests/support/workdir.h"

namespace {

const char STARTED_LINE[] = "Daemon Tollgate started.";
const char NO_SWEEPER_LINE[] = "Tollgate: Unable to start timeout system!";

os_calls real_os;
std::atomic<int32_t> test_now{1700000000};
int32_t test_clock() { return test_now.load(); }

// What the replaced calls saw. Written by the start-up thread, read by the test's thread.
std::atomic<int> alloc_calls, thread_calls, event_calls;
std::vector<HANDLE> made_threads, made_events;
std::vector<DWORD> made_thread_ids;
std::string box_text, box_caption;
UINT box_type;
int box_answer;

void *counting_alloc(size_t size)
{
    alloc_calls++;
    return real_os.alloc(size);
}
void *failing_alloc(size_t)
{
    alloc_calls++;
    return nullptr;
}
// Fails only requests larger than the interface copy: the table's storage.
void *no_table_alloc(size_t size)
{
    alloc_calls++;
    return size > HOST_INTERFACE_COPY_SIZE ? nullptr : real_os.alloc(size);
}
HANDLE WINAPI counting_thread(LPSECURITY_ATTRIBUTES a, SIZE_T s, LPTHREAD_START_ROUTINE f, LPVOID p,
                              DWORD flags, LPDWORD id)
{
    thread_calls++;
    DWORD own_id = 0;
    HANDLE h = real_os.create_thread(a, s, f, p, flags, id ? id : &own_id);
    made_threads.push_back(h);
    made_thread_ids.push_back(id ? *id : own_id);
    return h;
}
HANDLE WINAPI failing_thread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                             LPDWORD)
{
    thread_calls++;
    return nullptr;
}
HANDLE WINAPI counting_event(LPSECURITY_ATTRIBUTES a, BOOL manual, BOOL initial, LPCSTR name)
{
    event_calls++;
    HANDLE h = real_os.create_event(a, manual, initial, name);
    made_events.push_back(h);
    return h;
}
HANDLE WINAPI failing_event(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR)
{
    event_calls++;
    return nullptr;
}
int WINAPI answering_box(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    EXPECT_EQ(owner, nullptr);
    box_text = text;
    box_caption = caption;
    box_type = type;
    return box_answer;
}
void WINAPI no_sleep(DWORD) {}

// True while `handle` names an open kernel object.
bool handle_open(HANDLE handle)
{
    DWORD flags;
    return GetHandleInformation(handle, &flags) != 0;
}

// Polls (bounded) until `done` holds.
template <typename Done> bool eventually(Done done, int limit_ms = 10000)
{
    for (int waited = 0; waited < limit_ms; waited += 10) {
        if (done()) return true;
        Sleep(10);
    }
    return done();
}

// The probe: blocks the one host thread it is armed for at its first host call.
std::atomic<DWORD> probe_thread{0};
std::atomic<bool> probe_inside{false}, probe_release{false};
void blocking_probe()
{
    if (GetCurrentThreadId() != probe_thread) return;
    probe_thread = 0;
    probe_inside = true;
    while (!probe_release) Sleep(5);
}

struct connection {
    host_connection record{};
    std::string address;
    explicit connection(const char *text) : address(text)
    {
        record.client_address = address.c_str();
    }
};

// A POP3 thread whose CONNECT2 from 10.0.0.7 blocks at its first host call until
// probe_release.
std::thread start_blocked_connect()
{
    host_side_set_probe(blocking_probe);
    return std::thread([] {
        probe_thread = GetCurrentThreadId();
        connection client("10.0.0.7");
        event_handler(0, EVENT_CONNECT2, &client.record);
    });
}

// The module in this process, stopped, with counting system calls, no settle pauses and a
// test clock.
class DaemonLifecycle : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(workdir_.ok());
        real_os = os;
        os.alloc = counting_alloc;
        os.create_thread = counting_thread;
        os.create_event = counting_event;
        os.message_box = answering_box;
        os.sleep = no_sleep;
        db_clock = test_clock;
        host_side_reset();
    }
    void TearDown() override
    {
        probe_release = true;
        if (daemon_started) _closedown();
        host_side_set_probe(nullptr);
        os = real_os;
    }

    static int hooks_held()
    {
        int n = 0;
        for (int32_t code : {2, 4, 5, 6}) n += host_side_hook_count(HOST_EVENT_CLASS_POP3, code);
        return n;
    }

    scoped_workdir workdir_{"tollgate-lifecycle-"};
};

TEST_F(DaemonLifecycle, OnlyYesToTheVersionQuestionStarts)
{
    const struct {
        int answer;
        int32_t started;
    } cases[] = {{IDYES, 1}, {IDNO, 0}, {IDCANCEL, 0}, {0, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.answer);
        host_side_reset();
        host_side_set_version(4, 73);
        box_answer = c.answer;
        alloc_calls = 0;
        EXPECT_EQ(_startup(host_side_record()), c.started);
        EXPECT_EQ(box_caption, " Daemon Error");
        EXPECT_EQ(box_type, (UINT)(MB_YESNO | MB_ICONERROR));
        EXPECT_EQ(alloc_calls, c.started) << "no copy is made for a refused host";
        EXPECT_EQ(hooks_held(), 4 * c.started);
        _closedown();
    }
}

TEST_F(DaemonLifecycle, FailedAllocationLeavesNothingBehind)
{
    os.alloc = failing_alloc;
    EXPECT_EQ(_startup(host_side_record()), 0);
    std::vector<host_log_line> log = host_side_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].type, 0);
    EXPECT_EQ(log[0].priority, 5);
    EXPECT_EQ(log[0].text, "Tollgate: unable to allocate memory!");
    EXPECT_TRUE(host_side_calls().empty()) << "no statistics, hooks or removals";
    EXPECT_EQ(host_copy, nullptr);
    EXPECT_EQ(daemon_started, 0);
    EXPECT_EQ(event_calls, 0);
    EXPECT_EQ(thread_calls, 0);

    os.alloc = counting_alloc;
    EXPECT_EQ(_startup(host_side_record()), 1);
    EXPECT_EQ(hooks_held(), 4);
    EXPECT_EQ(thread_calls, 1);
}

// Each start makes the table at the size Tollgate.ini asks for then, and shutdown gives it
// back; without the memory the start goes on with 48 slots after one warning line.
TEST_F(DaemonLifecycle, TableIsMadeAtEachStartAtItsSizeOr48WithoutMemory)
{
    const char warning[] = "Tollgate: unable to allocate memory for 1000 addresses, holding 48";
    const struct {
        const char *max_addresses;
        bool memory;
        int32_t capacity;
    } starts[] = {{"65536", true, 65536}, {"1000", true, 1000}, {"1000", false, 48}, {"48", true, 48}};
    for (const auto &start : starts) {
        SCOPED_TRACE(std::string(start.max_addresses) + (start.memory ? "" : ", no memory"));
        WritePrivateProfileStringA("General", "MaxAddresses", start.max_addresses,
                                   (workdir_.path() + "\\Tollgate.ini").c_str());
        host_side_reset();
        os.alloc = start.memory ? counting_alloc : no_table_alloc;
        ASSERT_EQ(_startup(host_side_record()), 1);
        EXPECT_EQ(db_capacity(db_current()), start.capacity);
        EXPECT_EQ(host_side_log_count(warning), start.memory ? 0 : 1);
        for (const host_log_line &line : host_side_log()) {
            if (line.text != warning) continue;
            EXPECT_EQ(line.type, 0);
            EXPECT_EQ(line.priority, 10);
        }
        connection client("10.0.0.7");
        EXPECT_EQ(host_side_fire(EVENT_CONNECT2, &client.record), 0);
        EXPECT_EQ(db_held(db_current()), 1);
        EXPECT_EQ(_closedown(), 0);
        EXPECT_EQ(db_capacity(db_current()), 48) << "storage given back at shutdown";
    }
}

TEST_F(DaemonLifecycle, MissingSweeperIsReportedAndStartupGoesOn)
{
    const struct {
        const char *what;
        bool fail_event;
        int threads_tried;
    } cases[] = {{"thread creation fails", false, 1}, {"wake-up event fails", true, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        host_side_reset();
        thread_calls = 0;
        made_events.clear();
        os.create_thread = failing_thread;
        os.create_event = c.fail_event ? failing_event : counting_event;

        EXPECT_EQ(_startup(host_side_record()), 1);
        std::vector<host_log_line> log = host_side_log();
        int missing = 0;
        for (const host_log_line &line : log) {
            if (line.text != NO_SWEEPER_LINE) continue;
            missing++;
            EXPECT_EQ(line.type, 10);
            EXPECT_EQ(line.priority, 5);
        }
        EXPECT_EQ(missing, 1);
        EXPECT_EQ(thread_calls, c.threads_tried);
        EXPECT_EQ(host_side_log_count(STARTED_LINE), 1);
        EXPECT_EQ(hooks_held(), 4);

        connection client("10.0.0.7");
        EXPECT_EQ(host_side_fire(EVENT_CONNECT2, &client.record), 0);
        EXPECT_EQ(_closedown(), 0);
        EXPECT_EQ(hooks_held(), 0);
        EXPECT_EQ(host_side_call_count("hook_remove"), 4);
        EXPECT_EQ(host_copy, nullptr);
        for (HANDLE event : made_events) EXPECT_FALSE(handle_open(event)) << "event closed";

        // With the system well again, the next start has its sweeper.
        os.create_thread = counting_thread;
        os.create_event = counting_event;
        host_side_reset();
        EXPECT_EQ(_startup(host_side_record()), 1);
        EXPECT_EQ(host_side_log_count(NO_SWEEPER_LINE), 0);
        EXPECT_EQ(_closedown(), 0);
    }
}

TEST_F(DaemonLifecycle, ShutdownClosesSweeperThreadAndEvent)
{
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        made_threads.clear();
        made_events.clear();
        ASSERT_EQ(_startup(host_side_record()), 1);
        ASSERT_EQ(made_threads.size(), 1u);
        ASSERT_EQ(made_events.size(), 1u);
        HANDLE thread = made_threads[0], event = made_events[0];
        EXPECT_TRUE(handle_open(thread));
        EXPECT_TRUE(handle_open(event));
        EXPECT_EQ(_closedown(), 0);
        EXPECT_FALSE(handle_open(thread));
        EXPECT_FALSE(handle_open(event));
    }
    EXPECT_EQ(thread_calls, 2);
}

// A restart must bring expiry back: the stop request of the first shutdown may not end the
// second start's sweeper.
TEST_F(DaemonLifecycle, RestartedDaemonStillExpiresQuietAddresses)
{
    settings.sweep_interval = 1;
    ASSERT_EQ(_startup(host_side_record()), 1);
    ASSERT_EQ(_closedown(), 0);
    ASSERT_EQ(_startup(host_side_record()), 1);

    connection client("10.0.0.7");
    ASSERT_EQ(host_side_fire(EVENT_CONNECT2, &client.record), 0);
    ASSERT_EQ(db_held(db_current()), 1);
    test_now += settings.clear_time * 60 + 1;
    ASSERT_TRUE(eventually([] { return db_held(db_current()) == 0; }))
        << "the sweeper freed the slot";
    ASSERT_TRUE(eventually(
        [] { return host_side_log_count("Tollgate: 1 IPs released by timeout") == 1; }));
    for (const host_log_line &line : host_side_log()) {
        if (line.text != "Tollgate: 1 IPs released by timeout") continue;
        EXPECT_EQ(line.type, 10);
        EXPECT_EQ(line.priority, 25);
    }
}

// An event call inside the module keeps the interface copy and the table alive: shutdown waits
// for it to leave.
TEST_F(DaemonLifecycle, ShutdownWaitsForEventCallInFlight)
{
    ASSERT_EQ(_startup(host_side_record()), 1);
    host_side_set_probe(blocking_probe);
    std::atomic<int32_t> result{99};
    std::thread pop3([&] {
        probe_thread = GetCurrentThreadId();
        connection client("10.0.0.7");
        result = event_handler(0, EVENT_CONNECT2, &client.record);
    });
    ASSERT_TRUE(eventually([] { return probe_inside.load(); }));

    std::atomic<bool> returned{false};
    std::thread host([&] {
        _closedown();
        returned = true;
    });
    Sleep(300);
    EXPECT_FALSE(returned) << "shutdown went on while a call was inside";
    EXPECT_NE(host_copy, nullptr);
    probe_release = true;
    pop3.join();
    host.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(host_side_log_count("    new IP, allowed"), 1) << "the call finished its work";
    EXPECT_EQ(host_copy, nullptr);
}

// An event call that does not come back within the bound: shutdown gives up waiting but keeps
// the copy and the table, so the call finishes safely; the next start works.
TEST_F(DaemonLifecycle, StuckEventCallIsOutlivedNotCrashed)
{
    ASSERT_EQ(_startup(host_side_record()), 1);
    std::thread pop3 = start_blocked_connect();
    ASSERT_TRUE(eventually([] { return probe_inside.load(); }));

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(_closedown(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_NE(host_copy, nullptr) << "kept for the call still inside";
    probe_release = true;
    pop3.join();
    EXPECT_EQ(host_side_log_count("    new IP, allowed"), 1);

    host_side_set_probe(nullptr);
    EXPECT_EQ(_startup(host_side_record()), 1);
    connection client("10.0.0.8");
    EXPECT_EQ(host_side_fire(EVENT_CONNECT2, &client.record), 0);
    EXPECT_EQ(_closedown(), 0);
    EXPECT_EQ(host_copy, nullptr);
}

// A call that shutdown could not wait for may be inside the shared store, on its socket: Windows
// Sockets is not cleaned up under it.
TEST_F(DaemonLifecycle, WindowsSocketsOutlivesAShutdownThatACallOutlived)
{
    WritePrivateProfileStringA("General", "SharedStore", "127.0.0.1:1", // nothing listens there
                               (workdir_.path() + "\\Tollgate.ini").c_str());
    ASSERT_EQ(_startup(host_side_record()), 1);
    std::thread pop3 = start_blocked_connect();
    ASSERT_TRUE(eventually([] { return probe_inside.load(); }));
    EXPECT_EQ(_closedown(), 0); // gives up waiting for the call
    SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(sock, INVALID_SOCKET) << "Windows Sockets cleaned up, error " << WSAGetLastError();
    closesocket(sock);
    probe_release = true;
    pop3.join();
}

// A new MaxAddresses does not swap the table's storage under a call that the last shutdown
// could not wait for: it takes effect at the first start that finds the table alone.
TEST_F(DaemonLifecycle, TableKeepsItsSizeWhileACallOfTheLastRunIsInside)
{
    ASSERT_EQ(_startup(host_side_record()), 1);
    std::thread pop3 = start_blocked_connect();
    ASSERT_TRUE(eventually([] { return probe_inside.load(); }));
    EXPECT_EQ(_closedown(), 0); // gives up waiting for the call

    WritePrivateProfileStringA("General", "MaxAddresses", "1000",
                               (workdir_.path() + "\\Tollgate.ini").c_str());
    host_side_set_probe(nullptr);
    ASSERT_EQ(_startup(host_side_record()), 1);
    EXPECT_EQ(db_capacity(db_current()), 48);
    EXPECT_EQ(host_side_log_count("Tollgate: a call of the last run is still inside the table, "
                                  "holding 48 addresses until the next start"),
              1);
    probe_release = true;
    pop3.join();
    EXPECT_EQ(_closedown(), 0);
    ASSERT_EQ(_startup(host_side_record()), 1);
    EXPECT_EQ(db_capacity(db_current()), 1000);
}

// A sweeper that shutdown could not join is taken up again by the next start instead of being
// joined by a second one.
TEST_F(DaemonLifecycle, StuckSweeperIsTakenUpByTheNextStart)
{
    settings.sweep_interval = 1;
    ASSERT_EQ(_startup(host_side_record()), 1);
    ASSERT_EQ(made_threads.size(), 1u);
    HANDLE sweeper; // our own handle: the module closes its one when it joins the thread
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), made_threads[0], GetCurrentProcess(),
                                &sweeper, 0, FALSE, DUPLICATE_SAME_ACCESS));
    DWORD sweeper_id = made_thread_ids[0];

    connection first("10.0.0.7");
    ASSERT_EQ(host_side_fire(EVENT_CONNECT2, &first.record), 0);
    probe_thread = sweeper_id;
    host_side_set_probe(blocking_probe);
    test_now += settings.clear_time * 60 + 1;
    ASSERT_TRUE(eventually([] { return probe_inside.load(); })) << "the sweeper logs its sweep";

    EXPECT_EQ(_closedown(), 0);
    EXPECT_EQ(WaitForSingleObject(sweeper, 0), (DWORD)WAIT_TIMEOUT) << "still stuck";

    host_side_set_probe(nullptr);
    EXPECT_EQ(_startup(host_side_record()), 1);
    EXPECT_EQ(thread_calls, 1) << "no second sweeper";
    EXPECT_EQ(host_side_log_count(NO_SWEEPER_LINE), 0);
    probe_release = true;

    connection second("10.0.0.8");
    ASSERT_EQ(host_side_fire(EVENT_CONNECT2, &second.record), 0);
    test_now += settings.clear_time * 60 + 1;
    EXPECT_TRUE(eventually([] { return db_held(db_current()) == 0; }))
        << "the old sweeper sweeps on";

    EXPECT_EQ(_closedown(), 0);
    EXPECT_EQ(WaitForSingleObject(sweeper, 0), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(host_copy, nullptr);
    CloseHandle(sweeper);
}

// A dialog that takes the current table while shutdown writes the state file, that is after
// shutdown found the gate empty and before it gives the table back, and stays inside it.
void *large_block;                   // the block of the first 1000-slot table made
std::atomic<int> large_block_released;
std::thread dialog;
bool dialog_started;
std::atomic<bool> dialog_inside{false}, dialog_release{false};
std::atomic<int32_t> dialog_decision{99};

void *noting_alloc(size_t size)
{
    void *block = counting_alloc(size);
    if (size == db_table_bytes(1000) && large_block == nullptr) large_block = block;
    return block;
}
void noting_release(void *block)
{
    if (block == large_block) large_block_released++;
    real_os.release(block);
}
HANDLE WINAPI dialog_taking_create_file(LPCSTR name, DWORD access, DWORD share,
                                        LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                        DWORD flags, HANDLE template_file)
{
    if (!dialog_started) {
        dialog_started = true;
        dialog = std::thread([] {
            event_gate_enter();
            db_table *table = db_current();
            dialog_inside = true;
            while (!dialog_release) Sleep(5);
            dialog_decision = connect_text("10.0.0.9", table);
            daemon_leave();
        });
        while (!dialog_inside) Sleep(1);
    }
    return real_os.create_file(name, access, share, security, disposition, flags, template_file);
}

// A table that a dialog took just as shutdown replaced it is retired, not given back, while the
// dialog is inside it; the next start gives it back.
TEST_F(DaemonLifecycle, TableADialogIsInsideIsRetiredUntilTheNextStart)
{
    WritePrivateProfileStringA("General", "MaxAddresses", "1000",
                               (workdir_.path() + "\\Tollgate.ini").c_str());
    WritePrivateProfileStringA("General", "StateFile", "state.txt",
                               (workdir_.path() + "\\Tollgate.ini").c_str());
    os.alloc = noting_alloc;
    os.release = noting_release;
    ASSERT_EQ(_startup(host_side_record()), 1);
    ASSERT_NE(large_block, nullptr);
    os.create_file = dialog_taking_create_file;
    EXPECT_EQ(_closedown(), 0);
    EXPECT_EQ(db_capacity(db_current()), 48) << "the reserve is current";
    ASSERT_EQ(large_block_released, 0) << "given back under the dialog"; // which stays waiting
    dialog_release = true;
    dialog.join();
    EXPECT_EQ(dialog_decision, CHECK_NEW) << "the dialog's table stayed whole";

    ASSERT_EQ(_startup(host_side_record()), 1);
    EXPECT_EQ(large_block_released, 1) << "given back once found alone";
    EXPECT_EQ(db_capacity(db_current()), 1000);
}

} // namespace

// Start-up, events and shutdown of Tollgate.dll, driven through its exports as the mail host
// drives them: the library loaded with LoadLibraryA, every entry point found by name, the host
// record and its hooks played by host_side, the version question answered on screen.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/base/entry_points.h"
#include "mailhost/host_side.h"
#include "tests/support/workdir.h"

namespace {

const char VERSION_CAPTION[] = " Daemon Error";
const char STARTED_LINE[] = "Daemon Tollgate started.";
const char REFUSAL[] = "-ERR: BlackListed by Tollgate.";
enum : int { MSGBOX_TEXT_ID = 0xFFFF }; // the static that holds a message box's text

std::string exe_dir()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of("\\/") + 1);
}

// The threads of this process, counted through a tool-help snapshot.
int thread_count()
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    int n = 0;
    for (BOOL more = Thread32First(snap, &entry); more; more = Thread32Next(snap, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) n++;
    CloseHandle(snap);
    return n;
}

// Waits (bounded) until the process runs `n` threads; returns the last count seen.
int wait_thread_count(int n)
{
    int now = thread_count();
    for (int i = 0; i < 200 && now != n; i++) {
        Sleep(10);
        now = thread_count();
    }
    return now;
}

BOOL CALLBACK find_own_box_step(HWND window, LPARAM found)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char caption[64] = "";
    GetWindowTextA(window, caption, sizeof(caption));
    if (pid != GetCurrentProcessId() || strcmp(caption, VERSION_CAPTION) != 0) return TRUE;
    *(HWND *)found = window;
    return FALSE;
}

// A window of this process with the version question's caption (other test processes may show
// theirs on the same display at the same time).
HWND find_own_box()
{
    HWND found = nullptr;
    EnumWindows(find_own_box_step, (LPARAM)&found);
    return found;
}

// Plays the user in front of the screen while the module starts: watches for the version
// question, keeps its text, and answers it with `answer` (IDYES or IDNO).
class box_answerer {
public:
    explicit box_answerer(int answer) : answer_(answer)
    {
        thread_ = std::thread([this] { run(); });
    }
    ~box_answerer() { stop(); }
    void stop()
    {
        done_ = true;
        if (thread_.joinable()) thread_.join();
    }
    int boxes() const { return boxes_; }
    std::string text() const { return text_; }

private:
    void run()
    {
        const DWORD start = GetTickCount();
        while (!done_ && GetTickCount() - start < 20000) {
            HWND box = find_own_box();
            if (box == nullptr || box == answered_) {
                Sleep(10);
                continue;
            }
            char text[512] = "";
            GetDlgItemTextA(box, MSGBOX_TEXT_ID, text, sizeof(text));
            text_ = text;
            boxes_++;
            answered_ = box;
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer_, BN_CLICKED), 0);
        }
    }
    int answer_;
    std::atomic<bool> done_{false};
    std::atomic<int> boxes_{0};
    std::string text_; // written by the answering thread before boxes_ counts it
    HWND answered_ = nullptr;
    std::thread thread_;
};

// The client side of one POP3 connection: the host's record with an address and a response.
struct connection {
    host_connection record{};
    std::string address;
    explicit connection(const char *text) : address(text) { record.client_address = address.c_str(); }
};

// One loaded Tollgate.dll, its exports, and a fresh working directory of its own per test.
class DaemonDll : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(workdir_.ok());

        host_side_reset();
        module_ = LoadLibraryA((exe_dir() + "Tollgate.dll").c_str());
        ASSERT_NE(module_, nullptr) << "Tollgate.dll next to the test program";
        startup_ = (host_startup_fn *)GetProcAddress(module_, "_startup");
        closedown_ = (host_closedown_fn *)GetProcAddress(module_, "_closedown");
        daemon_ = (host_daemon_fn *)GetProcAddress(module_, "_daemon");
        configure_ = (host_configure_fn *)GetProcAddress(module_, "_configure");
        event_ = (host_event_fn *)GetProcAddress(module_, "event_handler");
        dll_main_ = GetProcAddress(module_, "_DllMain@12");
        ASSERT_TRUE(startup_ && closedown_ && daemon_ && configure_ && event_ && dll_main_);
    }

    void TearDown() override
    {
        if (module_) {
            closedown_();
            FreeLibrary(module_);
        }
    }

    // _startup with someone answering the version question (if one comes) with `answer`;
    // `boxes` receives how many questions were asked and `text` the last one's text.
    int32_t start_answering(int answer, int *boxes = nullptr, std::string *text = nullptr)
    {
        // The process's first window brings up Wine's desktop; have that done before the
        // question, so that a slow desktop start cannot fail the box on a loaded machine.
        GetDesktopWindow();
        DestroyWindow(CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                      nullptr));
        box_answerer user(answer);
        int32_t result = startup_(host_side_record());
        user.stop();
        if (boxes) *boxes = user.boxes();
        if (text) *text = user.text();
        return result;
    }

    static int hooks_held()
    {
        int n = 0;
        for (int32_t code : {2, 4, 5, 6}) n += host_side_hook_count(HOST_EVENT_CLASS_POP3, code);
        return n;
    }

    static std::vector<std::string> hook_calls()
    {
        std::vector<std::string> out;
        for (const std::string &call : host_side_calls())
            if (call.rfind("hook_", 0) == 0) out.push_back(call);
        return out;
    }

    static std::vector<host_log_line> lines_containing(const std::string &needle)
    {
        std::vector<host_log_line> out;
        for (const host_log_line &line : host_side_log())
            if (line.text.find(needle) != std::string::npos) out.push_back(line);
        return out;
    }

    void write_ini(const char *text)
    {
        FILE *f = fopen((workdir_.path() + "\\Tollgate.ini").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fputs(text, f);
        fclose(f);
    }

    scoped_workdir workdir_{"tollgate-lifecycle-"};
    HMODULE module_ = nullptr;
    host_startup_fn *startup_ = nullptr;
    host_closedown_fn *closedown_ = nullptr;
    host_daemon_fn *daemon_ = nullptr;
    host_configure_fn *configure_ = nullptr;
    host_event_fn *event_ = nullptr;
    FARPROC dll_main_ = nullptr;
};

// ---- Version check -------------------------------------------------------------------------

TEST_F(DaemonDll, OldHostIsAskedAndYesStarts)
{
    host_side_set_version(4, 73);
    int boxes = 0;
    std::string text;
    EXPECT_EQ(start_answering(IDYES, &boxes, &text), 1);
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(text, "Tollgate Daemon requires host version 4.74\r\n"
                    "             (current version is 4.73)\r\n"
                    "             Load anyway ?");
    EXPECT_EQ(hooks_held(), 4);
    EXPECT_EQ(host_side_log_count(STARTED_LINE), 1);
}

TEST_F(DaemonDll, OldHostAnsweredNoLeavesNothingBehind)
{
    host_side_set_version(4, 73);
    int boxes = 0;
    EXPECT_EQ(start_answering(IDNO, &boxes), 0);
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(hooks_held(), 0);
    EXPECT_TRUE(host_side_calls().empty()) << "no statistics, hooks or removals";
    EXPECT_TRUE(host_side_log().empty());

    host_side_set_version(4, 100);
    EXPECT_EQ(start_answering(IDNO, &boxes), 1);
    EXPECT_EQ(boxes, 0);
    EXPECT_EQ(hooks_held(), 4);
}

TEST_F(DaemonDll, OneDigitMinorVersionIsShownWithTwoDigits)
{
    host_side_set_version(4, 5);
    int boxes = 0;
    std::string text;
    EXPECT_EQ(start_answering(IDNO, &boxes, &text), 0);
    EXPECT_EQ(boxes, 1);
    EXPECT_NE(text.find("(current version is 4.05)"), std::string::npos) << text;
}

TEST_F(DaemonDll, HostsFromFourSeventyFourToFourTwoTwentyStartSilently)
{
    for (uint8_t minor : {74, 100, 220}) {
        SCOPED_TRACE(minor);
        host_side_reset();
        host_side_set_version(4, minor);
        int boxes = 0;
        EXPECT_EQ(start_answering(IDYES, &boxes), 1);
        EXPECT_EQ(boxes, 0);
        for (const host_log_line &line : host_side_log())
            EXPECT_FALSE(line.type == 0 && line.priority == 15) << line.text;
        closedown_();
    }
}

TEST_F(DaemonDll, NewerHostsGetThreeWarningLinesAndStart)
{
    const struct {
        uint8_t major, minor;
        const char *current;
    } cases[] = {{4, 221, "Current version is 4.221,"}, {5, 0, "Current version is 5.00,"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.current);
        host_side_reset();
        host_side_set_version(c.major, c.minor);
        int boxes = 0;
        EXPECT_EQ(start_answering(IDYES, &boxes), 1);
        EXPECT_EQ(boxes, 0);
        std::vector<host_log_line> log = host_side_log();
        ASSERT_GE(log.size(), 3u);
        const char *expected[] = {"Tollgate Daemon is designed for host API 4.74 - 4.220.",
                                  c.current, "   you may encounter some compatibility problem."};
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(log[i].type, 0);
            EXPECT_EQ(log[i].priority, 15);
            EXPECT_EQ(log[i].text, expected[i]);
        }
        EXPECT_EQ(hooks_held(), 4);
        closedown_();
    }
}

// ---- Handler registration --------------------------------------------------------------------

TEST_F(DaemonDll, ApopRegistrationFailureRemovesAllFourAndFails)
{
    host_side_fail_hook_register(EVENT_APOP);
    EXPECT_EQ(startup_(host_side_record()), 0);
    std::vector<host_log_line> failed = lines_containing("Failed registering");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].type, 19400);
    EXPECT_EQ(failed[0].priority, 10);
    EXPECT_EQ(failed[0].text, "Tollgate: Failed registering APOP handler");
    EXPECT_EQ(hook_calls(), (std::vector<std::string>{
                                "hook_register 40 2 0", "hook_register 40 4 0",
                                "hook_register 40 5 0", "hook_remove 40 6", "hook_remove 40 2",
                                "hook_remove 40 4", "hook_remove 40 5"}));
    EXPECT_EQ(hooks_held(), 0);
    EXPECT_EQ(host_side_log_count(STARTED_LINE), 0);

    host_side_fail_hook_register(-1);
    EXPECT_EQ(startup_(host_side_record()), 1);
    EXPECT_EQ(hooks_held(), 4);
}

TEST_F(DaemonDll, EachRegistrationFailureNamesItsEventAndStopsThere)
{
    const struct {
        int32_t code;
        const char *line;
        size_t registrations;
    } cases[] = {{2, "Tollgate: Failed registering CONNECT2 handler", 1},
                 {4, "Tollgate: Failed registering LOGIN handler", 2},
                 {5, "Tollgate: Failed registering APOP handler", 3},
                 {6, "Tollgate: Failed registering AUTH_OTHER handler", 4}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        host_side_reset();
        host_side_fail_hook_register(c.code);
        EXPECT_EQ(startup_(host_side_record()), 0);
        EXPECT_EQ(host_side_log_count(c.line), 1);
        EXPECT_EQ((size_t)host_side_call_count("hook_register"), c.registrations);
        EXPECT_EQ(host_side_call_count("hook_remove"), 4);
        EXPECT_EQ(hooks_held(), 0);
    }
}

TEST_F(DaemonDll, SecondStartupRegistersAgainWithoutRedoingStartup)
{
    ASSERT_EQ(startup_(host_side_record()), 1);
    connection client("10.0.0.7");
    for (int i = 0; i < 5; i++) ASSERT_EQ(event_(0, EVENT_CONNECT2, &client.record), 0);
    ASSERT_EQ(lines_containing("Tollgate: using file").size(), 1u);

    EXPECT_EQ(startup_(host_side_record()), 1);
    for (int32_t code : {2, 4, 5, 6})
        EXPECT_EQ(host_side_hook_count(HOST_EVENT_CLASS_POP3, code), 2) << code;
    EXPECT_EQ(host_side_log_count(STARTED_LINE), 2);
    EXPECT_EQ(lines_containing("Tollgate: using file").size(), 1u) << "settings not read again";
    EXPECT_EQ(host_side_call_count("module_create"), 1) << "statistics not registered again";
    // The table was not emptied: the sixth connection is still the sixth.
    EXPECT_EQ(event_(0, EVENT_CONNECT2, &client.record), EVENT_REFUSE);

    // Shutdown removes as often as it registered, so no registration outlives the library.
    EXPECT_EQ(closedown_(), 0);
    EXPECT_EQ(hooks_held(), 0);
    EXPECT_EQ(host_side_call_count("hook_remove"), 8);
}

TEST_F(DaemonDll, FailedSecondRegistrationLeavesNoHandlerBehind)
{
    ASSERT_EQ(startup_(host_side_record()), 1);
    host_side_fail_hook_register(EVENT_LOGIN);
    EXPECT_EQ(startup_(host_side_record()), 0);
    EXPECT_EQ(host_side_log_count("Tollgate: Failed registering LOGIN handler"), 1);
    EXPECT_EQ(hooks_held(), 0);
    connection client("10.0.0.7");
    EXPECT_EQ(event_(0, EVENT_CONNECT2, &client.record), 0);
    EXPECT_EQ(host_side_log_count("connect from"), 0) << "the daemon is stopped";

    host_side_fail_hook_register(-1);
    EXPECT_EQ(startup_(host_side_record()), 1);
    EXPECT_EQ(hooks_held(), 4);
}

TEST_F(DaemonDll, MissingRecordsAreRefusedWithoutHarm)
{
    EXPECT_EQ(startup_(nullptr), 0);
    EXPECT_EQ(daemon_(0, nullptr, "POP3"), 0);
    EXPECT_EQ(configure_(nullptr), 0);
    EXPECT_TRUE(host_side_log().empty());
    EXPECT_TRUE(host_side_calls().empty());

    ASSERT_EQ(startup_(host_side_record()), 1);
    EXPECT_EQ(event_(0, EVENT_CONNECT2, nullptr), 0) << "no connection record";
    connection nobody("");
    nobody.record.client_address = nullptr;
    EXPECT_EQ(event_(0, EVENT_LOGIN, &nobody.record), 0) << "no address";
    EXPECT_EQ(daemon_(0, host_side_record(), nullptr), 0);
    EXPECT_EQ(host_side_log_count("Tollgate called started for "), 1);
}

// ---- _daemon and _closedown ----------------------------------------------------------------

TEST_F(DaemonDll, DaemonCallOnStartedModuleWritesOneLine)
{
    ASSERT_EQ(startup_(host_side_record()), 1);
    size_t before = host_side_log().size();
    EXPECT_EQ(daemon_(0, host_side_record(), "POP3"), 0);
    std::vector<host_log_line> log = host_side_log();
    ASSERT_EQ(log.size(), before + 1);
    EXPECT_EQ(log.back().type, 0);
    EXPECT_EQ(log.back().priority, 15);
    EXPECT_EQ(log.back().text, "Tollgate called started for POP3");
}

TEST_F(DaemonDll, DaemonCallOnModuleNeverStartedWritesTwoLines)
{
    EXPECT_EQ(daemon_(0, host_side_record(), "POP3"), 0);
    std::vector<host_log_line> log = host_side_log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].type, 0);
    EXPECT_EQ(log[0].priority, 15);
    EXPECT_EQ(log[0].text, "Tollgate called started for POP3");
    EXPECT_EQ(log[1].type, 1);
    EXPECT_EQ(log[1].priority, 15);
    EXPECT_EQ(log[1].text, "  Module cannot be called as non resident daemon!");
    EXPECT_TRUE(host_side_calls().empty());
}

TEST_F(DaemonDll, ClosedownRemovesHandlersEndsSweeperAndReturnsPromptly)
{
    int threads_before = thread_count();
    ASSERT_EQ(startup_(host_side_record()), 1);
    EXPECT_EQ(wait_thread_count(threads_before + 1), threads_before + 1) << "the sweeper runs";

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(closedown_(), 0);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(3));

    EXPECT_EQ(hooks_held(), 0);
    std::vector<std::string> calls = hook_calls();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(calls.end() - 4, calls.end()),
              (std::vector<std::string>{"hook_remove 40 6", "hook_remove 40 2",
                                        "hook_remove 40 4", "hook_remove 40 5"}));
    EXPECT_EQ(thread_count(), threads_before) << "the sweeper has ended";
    // The library can go at once.
    EXPECT_TRUE(FreeLibrary(module_));
    module_ = nullptr;
    Sleep(200);
}

TEST_F(DaemonDll, ClosedownOfModuleNeverStartedIsHarmless)
{
    EXPECT_EQ(closedown_(), 0);
    EXPECT_TRUE(host_side_calls().empty());
    EXPECT_TRUE(host_side_log().empty());
    EXPECT_EQ(startup_(host_side_record()), 1);
    EXPECT_EQ(hooks_held(), 4);
}

TEST_F(DaemonDll, RestartAfterClosedownWorks)
{
    ASSERT_EQ(startup_(host_side_record()), 1);
    ASSERT_EQ(closedown_(), 0);
    connection client("10.0.0.9");
    EXPECT_EQ(event_(0, EVENT_CONNECT2, &client.record), 0) << "stopped: untouched";
    EXPECT_EQ(host_side_log_count("connect from"), 0);

    ASSERT_EQ(startup_(host_side_record()), 1);
    EXPECT_EQ(hooks_held(), 4);
    EXPECT_EQ(host_side_fire(EVENT_CONNECT2, &client.record), 0);
    EXPECT_EQ(host_side_log_count("Tollgate: connect from 10.0.0.9"), 1);
}

// Event calls on four host threads while the host shuts the daemon down: none may crash, and
// none that starts after _closedown has returned may do anything.
TEST_F(DaemonDll, EventsRacingClosedownAreSafe)
{
    ASSERT_EQ(startup_(host_side_record()), 1);
    std::atomic<bool> stop{false}, closed{false};
    std::atomic<int> late_calls{0}, late_nonzero{0}, calls{0};
    std::vector<std::thread> pop3;
    for (int t = 0; t < 4; t++) {
        pop3.emplace_back([&, t] {
            char text[32];
            for (int i = 0; !stop; i++) {
                snprintf(text, sizeof(text), "10.%d.%d.%d", t, (i / 7) % 200, (i / 7) % 50);
                connection client(text);
                bool after = closed;
                int32_t code = (i % 7 == 6) ? EVENT_LOGIN : EVENT_CONNECT2;
                int32_t result = event_(0, code, &client.record);
                calls++;
                if (after) {
                    late_calls++;
                    if (result != 0 || client.record.response[0] != '\0') late_nonzero++;
                }
            }
        });
    }
    while (calls < 200) Sleep(1);
    EXPECT_EQ(closedown_(), 0);
    size_t log_after = host_side_log().size();
    closed = true;
    int late_start = late_calls;
    while (late_calls < late_start + 200) Sleep(1);
    stop = true;
    for (std::thread &t : pop3) t.join();
    EXPECT_EQ(late_nonzero, 0);
    EXPECT_EQ(host_side_log().size(), log_after) << "nothing logged after shutdown";
    EXPECT_EQ(hooks_held(), 0);
}

// ---- The road of one connection ------------------------------------------------------------

TEST_F(DaemonDll, RoadOfOneConnection)
{
    write_ini("[General]\r\nClearTime=30\r\nAuthFailures=5\r\nUseShortTerm=0\r\nWhiteIPs=1\r\n"
              "[WhiteIP]\r\nWhiteIP1=192.168.1.0/24\r\n");
    ASSERT_EQ(startup_(host_side_record()), 1);
    EXPECT_EQ(host_side_log_count("Tollgate: using file '" + workdir_.path() + "\\Tollgate.ini'"),
              1);
    EXPECT_EQ(host_side_log_count("   AuthFailures: 5"), 1);
    connection office("192.168.1.9");
    EXPECT_EQ(host_side_fire(EVENT_CONNECT2, &office.record), 0);
    EXPECT_EQ(host_side_log_count("    whitelisted"), 1) << "the white list came from the file";

    connection client("10.0.0.7");
    for (int i = 0; i < 5; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(host_side_fire(EVENT_CONNECT2, &client.record), 0);
        EXPECT_EQ(client.record.response[0], '\0');
    }
    EXPECT_EQ(host_side_log_count("    new IP, allowed"), 1);
    EXPECT_EQ(host_side_log_count("    found IP, allowed"), 4);

    EXPECT_EQ(host_side_fire(EVENT_CONNECT2, &client.record), EVENT_REFUSE);
    EXPECT_STREQ(client.record.response, REFUSAL);
    EXPECT_EQ(host_side_log_count("    connection blocked"), 1);
    host_stat_category blocked{};
    ASSERT_TRUE(host_side_category("Tollgate", "Blocked hosts", &blocked));
    EXPECT_EQ(blocked.reports, 1);
    EXPECT_EQ(blocked.total, 1);
    host_stat_category max_list{};
    ASSERT_TRUE(host_side_category("Tollgate", "MaxListSize", &max_list));
    EXPECT_EQ(max_list.last, 1);

    connection again("10.0.0.7");
    EXPECT_EQ(host_side_fire(EVENT_LOGIN, &again.record), 0);
    EXPECT_EQ(host_side_log_count("Tollgate: login from 10.0.0.7"), 1);
    EXPECT_EQ(host_side_fire(EVENT_CONNECT2, &again.record), 0) << "released by the login";
    EXPECT_EQ(host_side_log_count("    new IP, allowed"), 2);

    EXPECT_EQ(closedown_(), 0);
    EXPECT_EQ(hooks_held(), 0);
}

// ---- Version resource ----------------------------------------------------------------------

TEST(VersionResource, DllCarriesItsVersionAndNames)
{
    std::string path = exe_dir() + "Tollgate.dll";
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", (void **)&fixed, &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00000009u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00080000u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00000009u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00080000u);

    WORD *translation = nullptr;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", (void **)&translation,
                               &length));
    ASSERT_GE(length, 4u);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 0x04b0);

    const struct {
        const char *name, *value;
    } strings[] = {{"FileDescription", "Tollgate daemon for the mail server"},
                   {"FileVersion", "0.98"},
                   {"ProductVersion", "0.98"},
                   {"InternalName", "Tollgate"},
                   {"ProductName", "Tollgate"},
                   {"OriginalFilename", "Tollgate.dll"}};
    for (const auto &s : strings) {
        std::string key = std::string("\\StringFileInfo\\040904b0\\") + s.name;
        char *value = nullptr;
        ASSERT_TRUE(VerQueryValueA(block.data(), key.c_str(), (void **)&value, &length)) << key;
        EXPECT_STREQ(value, s.value) << key;
    }
}

} // namespace

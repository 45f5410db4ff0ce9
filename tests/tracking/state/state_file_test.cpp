// The state file through real files: the round trip, the rules for reading back, a damaged file
// set aside, and failed writes reported once with the old file kept whole.
#include <algorithm>
#include <fstream>

#include "host/base/os.h"
#include "tests/settings/settings_fixture.h"
#include "tests/support/module_fixture.h"
#include "tracking/events/sweeper.h"
#include "tracking/state/state_file.h"

using lines_t = std::vector<std::string>;
using std::to_string;

class StateFile : public SettingsFileTest {
protected:
    void SetUp() override
    {
        SettingsFileTest::SetUp();
        real_os = os;
        test_now = 1700000000;
        db_clock = test_clock;
        white_clear();
        test_table_publish();
    }
    void TearDown() override
    {
        os = real_os;
        test_table_give_back();
        SettingsFileTest::TearDown();
    }
    // Loads a Tollgate.ini naming the state file and white-listing 10.9.0.0/16. The log then
    // holds the settings' lines, or nothing unless they are kept.
    void use_state(const std::string &name = "state.txt", bool keep_log = false)
    {
        write_ini(ini_text({"[General]", ("StateFile=" + name).c_str(), "WhiteIPs=1", "[WhiteIP]",
                            "WhiteIP1=10.9.0.0/16"}));
        host_side_reset();
        load_settings();
        if (!keep_log) host_side_reset();
    }
    static void put(const std::string &path, const std::string &text)
    {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string get(const std::string &path)
    {
        std::ifstream file(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
    // The table as "a.b.c.d conns last_seen" lines in slot order.
    static std::string table()
    {
        std::string text;
        ip_entry_copy c{};
        db_table *table = db_current();
        for (int32_t i = db_next(table, -1, &c); i >= 0; i = db_next(table, i, &c)) {
            const unsigned char *b = (const unsigned char *)&c.ip;
            text += to_string(b[0]) + "." + to_string(b[1]) + "." + to_string(b[2]) + "." +
                    to_string(b[3]) + " " + to_string(c.conns) + " " + to_string(c.last_seen) +
                    "\n";
        }
        return text;
    }
    // The names in the working directory, sorted.
    static lines_t files()
    {
        lines_t names;
        WIN32_FIND_DATAA found;
        HANDLE walk = FindFirstFileA("*", &found);
        do
            if (found.cFileName[0] != '.') names.push_back(found.cFileName);
        while (FindNextFileA(walk, &found));
        FindClose(walk);
        std::sort(names.begin(), names.end());
        return names;
    }
    static std::string summary(int restored, int dropped)
    {
        return logged(0, 15, "Tollgate: " + to_string(restored) + " addresses restored from the " +
                                 "state file, " + to_string(dropped) + " lines dropped");
    }
    os_calls real_os;
};

TEST_F(StateFile, HeldRefusedAndCountedAddressesSurviveARestartOnALongPath)
{
    // The working directory stays under 200 characters, or Tollgate.ini is not looked for there.
    std::string path = enter_fresh_dir(std::string(140, 'd')) + "\\" + std::string(40, 's');
    use_state(std::string(250, 'n'), true); // too long: memory only
    EXPECT_EQ(log_lines()[4], logged(0, 5, "Tollgate: StateFile unusable or longer than 243 "
                                           "characters, addresses kept in memory only"));
    EXPECT_EQ(state_file_save_changes(), 1);
    EXPECT_EQ(files(), lines_t({"Tollgate.ini"}));

    use_state(std::string(40, 's'), true);
    ASSERT_GE(path.size(), 200u);
    // Right after UseShortTerm:
    EXPECT_EQ(log_lines()[4], logged(0, 25, "   StateFile:    '" + path + "'"));
    state_file_load(); // no file yet
    for (int i = 0; i < 7; i++) connect_text("10.0.0.1"); // refused from the sixth on
    for (const char *address : {"10.0.0.2", "10.0.0.2", "10.0.0.3"})
        test_now += 50, connect_text(address);
    std::string before = table();
    ASSERT_EQ(state_file_save_changes(), 1);
    db_clear(db_current());
    state_file_load();
    EXPECT_EQ(table(), before);
    EXPECT_EQ(connect_text("10.0.0.1"), CHECK_BLOCKED);
    EXPECT_EQ(host_side_log_count(" addresses restored from the state file"), 2);
    EXPECT_EQ(log_lines().back(), summary(3, 0));
    EXPECT_EQ(files(), lines_t({"Tollgate.ini", std::string(40, 's')}));
}

TEST_F(StateFile, ReadingKeepsTheLinesThatPassTheRules)
{
    use_state(); // ClearTime 30: 1800 s; the clock reads 1700000000
    struct {
        const char *line, *kept; // kept: "" not an entry line, nullptr dropped
    } lines[] = {
        {"10.0.0.1 3 1700000000\r", "10.0.0.1 3 1700000000"}, // CR LF
        {"10.0.0.2 4 1699998200", "10.0.0.2 4 1699998200"},   // exactly ClearTime old
        {"10.0.0.3 4 1699998199", nullptr},                   // older than ClearTime
        {"10.9.1.1 9 1700000000", nullptr},                   // white-listed
        {"10.0.0.4 2 1700000060", "10.0.0.4 2 1700000060"},   // a minute ahead: as written
        {"10.0.0.5 2 1700000061", "10.0.0.5 2 1700000000"},   // further: the clock went back
        {"10.0.0.6 1 1700000000", nullptr},                   // superseded by a later line
        {"", ""},
        {"  # a comment", ""},
        {"; another\r", ""},
        {"\t 10.0.0.7 5 1700000000  ", "10.0.0.7 5 1700000000"},
        {"10.0.0.6 7 1699999000", "10.0.0.6 7 1699999000"}, // the later line wins
        {"10.0.0.256 1 1700000000", nullptr},
        {"mail.example.com 1 1700000000", nullptr},
        {"10.0.0.8 0 1700000000", nullptr},
        {"10.0.0.8 1 1700000000 x", nullptr}, // version 1 has three fields
    };
    std::string text = "Tollgate state 1\r\n", expected;
    int dropped = 0;
    for (const auto &l : lines) {
        text += std::string(l.line) + "\n";
        expected += l.kept && *l.kept ? std::string(l.kept) + "\n" : "";
        dropped += !l.kept;
    }
    put(settings_state_path, text);
    state_file_load();
    EXPECT_EQ(table(), expected);
    EXPECT_EQ(log_lines(), lines_t({summary(6, dropped)}));
}

TEST_F(StateFile, NetworksSurviveARestartAndOtherNetworkLinesAreDropped)
{
    use_state();
    test_count_networks(24, 3);
    for (const char *address : {"10.1.2.1", "10.1.2.2", "10.1.2.2", "10.1.2.3", "10.1.5.1"})
        test_now += 10, connect_text(address); // 10.1.2.3 refused for its network
    ASSERT_EQ(state_file_save_changes(), 1);
    std::string saved = get(settings_state_path), before = table();
    EXPECT_NE(saved.find("\n10.1.2.0/24 3 1700000040\r\n10.1.5.0/24 1 1700000050\r\n"),
              std::string::npos);
    put(settings_state_path, saved + "10.1.3.0/16 4 1700000000\n10.1.4.5/24 4 1700000000\n");
    db_clear(db_current());
    state_file_load();
    EXPECT_EQ(table(), before);
    EXPECT_EQ(connect_text("10.1.2.9"), CHECK_NETWORK_BLOCKED);
    db_set_networks(db_current(), nullptr, 0);
    db_clear(db_current());
    state_file_load(); // networks not counted: their lines are dropped
    EXPECT_EQ(log_lines(), lines_t({logged(0, 15, "Tollgate: 3 addresses and 2 networks restored "
                                                  "from the state file, 2 lines dropped"),
                                    summary(3, 4)}));
}

TEST_F(StateFile, BeyondTheTableTheNewestAreKeptAndOtherVersionsReadTheirFirstFields)
{
    use_state();
    std::string text = "Tollgate state 0\n";
    for (int i = 50; i >= 1; i--)
        text += "10.1.0." + to_string(i) + " 1 " + to_string(1699999000 + i) + " x\n";
    put(settings_state_path, text);
    state_file_load();
    EXPECT_EQ(db_held(db_current()), 48);
    EXPECT_EQ(table().find("10.1.0.2 "), std::string::npos); // the oldest, not the last lines
    EXPECT_EQ(log_lines(), lines_t({summary(48, 2)}));
}

TEST_F(StateFile, DamagedFileIsSetAsideReplacingAnOlderOne)
{
    for (std::string damaged : {std::string("\x01\x00\xff garbage", 11), std::string(),
                                std::string("Tollgate state\r\n10.0.0.1 1 1700000000\r\n")}) {
        enter_fresh_dir();
        use_state();
        std::string path = settings_state_path;
        put(path, damaged);
        put(path + ".bad", "older");
        state_file_load();
        EXPECT_EQ(get(path + ".bad"), damaged);
        EXPECT_EQ(db_held(db_current()), 0);
        EXPECT_EQ(log_lines(), lines_t({logged(10, 10,
                                               "Tollgate: state file '" + path +
                                                   "' is not a Tollgate state file; set aside "
                                                   "with .bad added, starting empty")}));
        EXPECT_EQ(files(), lines_t({"Tollgate.ini", "state.txt.bad"}));
    }
}

static HANDLE WINAPI fail_create(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                 HANDLE)
{
    return SetLastError(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE;
}
static BOOL WINAPI fail_write(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) { return FALSE; }
static BOOL WINAPI fail_flush(HANDLE) { return SetLastError(ERROR_DISK_FULL), FALSE; }
static BOOL WINAPI fail_move(LPCSTR, LPCSTR, DWORD) { return FALSE; }

TEST_F(StateFile, FailedWriteKeepsTheOldFileAndIsLoggedOnceUntilAWriteSucceeds)
{
    use_state();
    std::string warning = "unable to write state file '" + std::string(settings_state_path);
    void (*inject[])() = {[] { os.create_file = fail_create; }, [] { os.write_file = fail_write; },
                          [] { os.flush_file = fail_flush; }, [] { os.move_file = fail_move; }};
    for (int round = 0; round < 2; round++) {
        connect_text("10.0.0.1");
        ASSERT_EQ(state_file_save_changes(), 1);
        host_side_reset();
        const std::string old = get(settings_state_path);
        for (int step = 0; step < 4; step++) {
            connect_text("10.0.0.2");
            inject[step]();
            EXPECT_EQ(state_file_save_changes(), 0) << step;
            os = real_os;
            EXPECT_EQ(get(settings_state_path), old) << step;
            EXPECT_EQ(files(), lines_t({"Tollgate.ini", "state.txt"})) << step; // no temporary
        }
        EXPECT_EQ(host_side_log_count(warning), 1) << round;
        EXPECT_EQ(state_file_save_changes(), 1) << "a failed write is tried again";
    }
}

TEST_F(StateFile, SweeperWritesTheTableAfterAPassThatChangedIt)
{
    use_state();
    settings.sweep_interval = 1;
    ASSERT_EQ(sweeper_arm(), 1);
    HANDLE thread = CreateThread(nullptr, 0, sweeper_thread, nullptr, 0, nullptr);
    connect_text("10.0.0.9");
    for (int i = 0; i < 250 && get(settings_state_path).find("10.0.0.9") == std::string::npos; i++)
        Sleep(20);
    sweeper_request_stop();
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    sweeper_disarm();
    EXPECT_NE(get(settings_state_path).find("\r\n10.0.0.9 1 1700000000\r\n"), std::string::npos);
}

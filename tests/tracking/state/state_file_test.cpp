// The state file through real files: the round trip, the rules for reading back, a file not
// ours left alone, leftovers of crashed writes, addresses without room kept aside, and failed
// writes reported once with the old file kept whole.
#include <algorithm>
#include <fstream>

#include "host/base/os.h"
#include "tests/settings/settings_fixture.h"
#include "tests/support/module_fixture.h"
#include "tracking/events/sweeper.h"
#include "tracking/black_list.h"
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
    // The one error of a file left alone for the run.
    static std::string refused(const std::string &path, const std::string &why)
    {
        return logged(10, 5, "Tollgate: state file '" + path + "' " + why +
                                 "; it is left as it is and addresses are kept in memory only");
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
    black_add("10.8.0.0", 16);
    black_publish();
    struct {
        const char *line, *kept; // kept: "" not an entry line, nullptr dropped
    } lines[] = {
        {"10.0.0.1 3 1700000000\r", "10.0.0.1 3 1700000000"}, // CR LF
        {"10.0.0.2 4 1699998200", "10.0.0.2 4 1699998200"},   // exactly ClearTime old
        {"10.0.0.3 4 1699998199", nullptr},                   // older than ClearTime
        {"10.9.1.1 9 1700000000", nullptr},                   // white-listed
        {"10.8.1.1 9 1700000000", nullptr},                   // black-listed: takes no slot
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

// Addresses the table has no room for are warned of, and the file as read is kept as .old
// (replacing an older one) before a write replaces it; when it cannot be kept, nothing is
// written this run.
TEST_F(StateFile, BeyondTheTableTheNewestAreKeptAndTheFileAsReadIsKept)
{
    std::string text = "Tollgate state 0\n"; // another version: its first three fields count
    for (int i = 50; i >= 1; i--)
        text += "10.1.0." + to_string(i) + " 1 " + to_string(1699999000 + i) + " x\n";
    std::string warning = "Tollgate: 2 addresses of the state file did not fit the table of 48";
    for (bool old_is_folder : {false, true}) { // a folder in the way: no copy can be made
        SCOPED_TRACE(old_is_folder);
        enter_fresh_dir();
        use_state();
        std::string path = settings_state_path, old = path + ".old";
        put(path, text);
        old_is_folder ? (void)CreateDirectoryA(old.c_str(), nullptr) : put(old, "older");
        db_clear(db_current());
        state_file_load();
        EXPECT_EQ(db_held(db_current()), 48);
        EXPECT_EQ(table().find("10.1.0.2 "), std::string::npos); // the oldest, not the last lines
        EXPECT_EQ(log_lines(),
                  old_is_folder ? lines_t({summary(48, 2), logged(0, 10, warning),
                                           refused(path, "could not be kept as .old (error 5)")})
                                : lines_t({summary(48, 2),
                                           logged(0, 10, warning + "; the file as read is kept "
                                                                   "as '" + old + "'")}));
        connect_text("10.0.0.1");
        EXPECT_EQ(state_file_save_changes(), 1);
        EXPECT_EQ(get(old), old_is_folder ? "" : text);
        EXPECT_EQ(get(path) == text, old_is_folder) << "replaced only once kept aside";
        RemoveDirectoryA(old.c_str());
    }
}

// A file whose first line is not the header is never renamed, replaced or written, and neither
// is the settings file named as StateFile; an empty file is a state file without lines.
TEST_F(StateFile, OnlyAStateFileIsEverReplaced)
{
    for (std::string content : {std::string("\x01\x00\xff garbage", 11),
                                std::string("Tollgate state\r\n10.0.0.1 1 1700000000\r\n"),
                                ini_text({"[Mail]", "Port=110"}), std::string()}) {
        bool ours = content.empty();
        enter_fresh_dir();
        use_state();
        std::string path = settings_state_path;
        put(path, content);
        state_file_load();
        EXPECT_EQ(log_lines(), lines_t({ours ? summary(0, 0)
                                             : refused(path, "is not a Tollgate state file")}));
        connect_text("10.0.0.1");
        EXPECT_EQ(state_file_save_changes(), 1);
        EXPECT_EQ(get(path) == content, !ours);
        EXPECT_EQ(files(), lines_t({"Tollgate.ini", "state.txt"}));
    }
    enter_fresh_dir();
    use_state("TOLLGATE.INI", true);
    const std::string ini = get("Tollgate.ini");
    EXPECT_EQ(log_lines()[4], logged(0, 5, "Tollgate: StateFile '" + working_dir() +
                                               "\\TOLLGATE.INI' is the settings file, addresses "
                                               "kept in memory only"));
    EXPECT_STREQ(settings_state_path, "");
    state_file_load();
    connect_text("10.0.0.1");
    state_file_save_changes();
    EXPECT_EQ(get("Tollgate.ini"), ini);
}

// Temporary files of crashed writes are removed at start-up: only "<name>.<digits>.tmp" that
// begin with the header.
TEST_F(StateFile, LeftoverTemporaryFilesOfOursAreRemoved)
{
    use_state();
    const char *header = "Tollgate state 1\r\n";
    for (const char *name : {"state.txt.1234.tmp", "state.txt.12a.tmp", "state.txt.tmp",
                             "other.txt.5.tmp"})
        put(name, header);
    put("state.txt.99.tmp", "Tollgate state 1"); // cut short
    put("state.txt.12.tmp", "not ours");
    state_file_load();
    EXPECT_EQ(files(), lines_t({"Tollgate.ini", "other.txt.5.tmp", "state.txt.12.tmp",
                                "state.txt.12a.tmp", "state.txt.tmp"}));
    EXPECT_EQ(log_lines()[0],
              logged(0, 15, "Tollgate: 2 temporary state files of an interrupted write removed"));
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

// With repeat offenders remembered the file keeps each offender's count and whether its
// refusal is in force, and an offender's line is kept as long as the offender is remembered;
// with them off such lines read as plain addresses.
TEST_F(StateFile, OffencesSurviveARestartAndOffendersAreReadByTheirOwnTime)
{
    use_state(); // ClearTime 30
    settings.repeat_factor = 2;
    settings.max_clear_time = 120;
    for (int i = 0; i < 6; i++) connect_text("10.0.0.1"); // refused: offence 1
    for (int i = 0; i < 7; i++) connect_text("10.0.0.2");
    test_now += 1801;
    connect_text("10.0.0.2"); // cleared and let in: 1 connection, offence 1
    connect_text("10.0.0.3");
    ASSERT_EQ(state_file_save_changes(), 1);
    EXPECT_EQ(get(settings_state_path),
              "Tollgate state 2\r\n# address connections last_seen (seconds since 1970) offences "
              "refusing\r\n10.0.0.1 5 1700000000 1 1\r\n10.0.0.2 1 1700001801 1 0\r\n"
              "10.0.0.3 1 1700001801 0 0\r\n");
    db_clear(db_current());
    state_file_load();
    auto offenders = [] {
        std::string text;
        ip_entry_copy c{};
        for (int32_t i = db_next(db_current(), -1, &c); i >= 0; i = db_next(db_current(), i, &c))
            text += to_string(c.ip >> 24) + ":" + to_string(c.offences) + (c.refusing ? "! " : " ");
        return text;
    };
    EXPECT_EQ(offenders(), "1:1! 2:1 3:0 ");
    EXPECT_EQ(connect_text("10.0.0.2"), CHECK_BLOCKED) << "its one connection was used";

    // Refusing: 30 + 120 min remembered; cleared: 120 min; no offender: 30 min.
    test_now = 1700000000;
    put(settings_state_path, "Tollgate state 2\n10.0.0.4 5 1699991000 1 1\n"
                             "10.0.0.5 5 1699990999 1 1\n10.0.0.6 1 1699992800 3 0\n"
                             "10.0.0.7 1 1699992799 3 0\n10.0.0.8 2 1699998200 0 0\n"
                             "10.0.0.9 2 1699998200\n10.0.0.10 1 1699998200 1\n"
                             "10.0.0.11 0 1699998200 2 1\n10.0.0.12 0 1699998200 0 0\n");
    for (int32_t factor : {2, 0}) {
        settings.repeat_factor = factor;
        db_clear(db_current());
        state_file_load();
        EXPECT_EQ(offenders(), factor ? "4:1! 6:3 8:0 9:0 11:2! " : "8:0 9:0 ") << factor;
    }
}

// With logins trusted the file is version 3 and keeps the trusted entries; a trusted line is read
// back while it is at most TrustDays old and at least as narrow as TrustBits (as its network of
// TrustBits then); the newest of an entry's lines wins.
TEST_F(StateFile, TrustedEntriesSurviveARestartInVersionThree)
{
    use_state();
    settings.trust_days = 1;
    db_set_trusted(db_current(), db_table_make(DB_SLOTS, malloc, free, true), 24);
    connect_text("10.0.0.1");
    decision_login(db_current(), ip_parse("10.1.2.3"));
    ASSERT_EQ(state_file_save_changes(), 1);
    std::string written = get(settings_state_path);
    EXPECT_EQ(written, "Tollgate state 3\r\n# address connections last_seen (seconds since 1970)\r\n"
                       "# trusted address last_login (seconds since 1970)\r\n"
                       "10.0.0.1 1 1700000000\r\ntrusted 10.1.2.0/24 1700000000\r\n");
    put(settings_state_path, written + "trusted 10.7.7.7 1699913600\ntrusted 10.8.0.0/16 1700000000\n"
                                       "trusted 10.9.9.9 1699913599\ntrusted 10.5.5.5 1700000000 1\n"
                                       "trusted 10.1.2.9 1699999000\n");
    db_clear(db_current());
    db_clear(db_trusted_set(db_current()));
    state_file_load();
    EXPECT_EQ(log_lines().end()[-2], summary(1, 4));
    EXPECT_EQ(log_lines().back(), logged(0, 15, "Tollgate: 2 trusted entries restored from the state file"));
    for (auto [address, trusted] : {std::pair{"10.1.2.99", true}, {"10.7.7.1", true},
                                    {"10.8.0.1", false}, {"10.9.9.9", false}})
        EXPECT_EQ(db_trusted(db_current(), ip_parse(address), db_settings_now()), trusted) << address;
    test_now += 86400;
    EXPECT_TRUE(db_trusted(db_current(), ip_parse("10.1.2.99"), db_settings_now())) << "the newest line";
}

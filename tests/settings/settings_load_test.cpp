// Start-up's reading of Tollgate.ini: defaults, corrections, the white-list keys and the log.
#include "tests/settings/settings_fixture.h"

#include "host/base/ip_address.h"
#include "tracking/black_list.h"

class SettingsLoad : public SettingsFileTest {
protected:
    // The four lines every load writes, for the values given.
    std::vector<std::string> value_lines(int clear_time, int auth_failures, const char *short_term)
    {
        return {logged(0, 25, "Tollgate: using file '" + std::string(settings_path) + "'"),
                logged(0, 25, "   ClearTime:    " + std::to_string(clear_time) + " min"),
                logged(0, 25, "   AuthFailures: " + std::to_string(auth_failures)),
                logged(0, 25, std::string("   UseShortTerm: ") + short_term)};
    }
    static std::string entry_line(int number, const std::string &text)
    {
        return logged(0, 25, "       " + std::to_string(number) + ": " + text);
    }
    static std::string invalid_line(int number)
    {
        return logged(0, 5, "Tollgate: invalid white list entry " + std::to_string(number) +
                                " (may be too many IPs)");
    }
    static int count_lines(const std::string &line)
    {
        int n = 0;
        for (const std::string &l : log_lines()) n += l == line;
        return n;
    }
};

TEST_F(SettingsLoad, MissingFileKeepsDefaultsAndLogsFourLines)
{
    EXPECT_EQ(load_settings(), 1);
    EXPECT_EQ(settings.clear_time, 30);
    EXPECT_EQ(settings.auth_failures, 5);
    EXPECT_EQ(settings.use_short_term, 0);
    EXPECT_EQ(settings.sweep_interval, 30);
    EXPECT_EQ(white_count(), 0);
    EXPECT_EQ(std::string(settings_path), working_dir() + "\\Tollgate.ini");
    EXPECT_EQ(log_lines(), value_lines(30, 5, "No")); // no "   WhiteList:" line
    EXPECT_FALSE(ini_exists()) << "a load never writes";
}

TEST_F(SettingsLoad, VersionKeyHasNoEffect)
{
    write_ini(ini_text({"[General]", "Version=0.1", "ClearTime=12"}));
    load_settings();
    EXPECT_EQ(settings.clear_time, 12);
    EXPECT_EQ(log_lines(), value_lines(12, 5, "No"));
}

// Numbers in range read as the platform reads them (sign, radix prefix, trailing text); beyond
// 32 bits they saturate toward their sign before the bounds apply; a text that is not a number
// reads as the default with one warning naming the key and the text.
TEST_F(SettingsLoad, NumbersAreBoundedAndTextReadsAsTheDefault)
{
    struct Case {
        const char *line;
        int clear_time, auth_failures, short_term;
        const char *warning = nullptr; // logged just before the value's line
    } cases[] = {
        {"ClearTime=0", 1, 5, 0},        {"ClearTime=-5", 1, 5, 0},
        {"ClearTime=1", 1, 5, 0},        {"ClearTime=1440", 1440, 5, 0},
        {"ClearTime=1441", 1440, 5, 0},  {"ClearTime=5000", 1440, 5, 0},
        {"AuthFailures=31", 30, 30, 0},  {"AuthFailures=30", 30, 30, 0},
        {"AuthFailures=0", 30, 0, 0},    {"AuthFailures=-2", 30, -2, 0},
        {"UseShortTerm=7", 30, 5, 1},    {"UseShortTerm=-1", 30, 5, 1},
        {"UseShortTerm=0", 30, 5, 0},    {"ClearTime=", 30, 5, 0},
        {"ClearTime=+45", 45, 5, 0},     {"ClearTime= 45 min", 45, 5, 0},
        {"AuthFailures=0x10", 30, 16, 0}, {"AuthFailures=0X10", 30, 0, 0},
        {"ClearTime=4294967297", 1440, 5, 0}, {"ClearTime=2147483648", 1440, 5, 0},
        {"ClearTime=-99999999999999999999", 1, 5, 0}, {"UseShortTerm=4294967296", 30, 5, 1},
        {"AuthFailures=4294967296", 30, 30, 0}, {"AuthFailures=2147483650", 30, 30, 0},
        {"AuthFailures=-4294967297", 30, INT32_MIN, 0},
        {"AuthFailures=x5", 30, 5, 0, "Tollgate: AuthFailures 'x5' is not a number, using 5"},
        {"ClearTime=abc", 30, 5, 0, "Tollgate: ClearTime 'abc' is not a number, using 30"},
        {"ClearTime=-", 30, 5, 0, "Tollgate: ClearTime '-' is not a number, using 30"},
        {"UseShortTerm=yes", 30, 5, 0, "Tollgate: UseShortTerm 'yes' is not a number, using 0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        reset_module();
        enter_fresh_dir();
        write_ini(ini_text({"[General]", c.line}));
        load_settings();
        EXPECT_EQ(settings.clear_time, c.clear_time);
        EXPECT_EQ(settings.auth_failures, c.auth_failures);
        EXPECT_EQ(settings.use_short_term, c.short_term);
        std::vector<std::string> expected =
            value_lines(c.clear_time, c.auth_failures, c.short_term ? "Yes" : "No");
        int line = c.line[0] == 'C' ? 1 : c.line[0] == 'A' ? 2 : 3; // the key's value line
        if (c.warning) expected.insert(expected.begin() + line, logged(0, 10, c.warning));
        EXPECT_EQ(log_lines(), expected);
    }
}

// MaxAddresses reads as 48 to 1048576 whatever number is written (digits past any integer's
// width included), is logged after AuthFailures only when it is not 48, and no save touches it.
TEST_F(SettingsLoad, MaxAddressesIsClampedShownWhenNotDefaultAndNeverSaved)
{
    const struct {
        const char *value; // null: no key
        int loaded;
    } cases[] = {
        {nullptr, 48},     {"48", 48},           {"10", 48},
        {"-5", 48},        {"abc", 48},          {"", 48},
        {"49", 49},        {"65536", 65536},     {"1048576", 1048576},
        {"1048577", 1048576}, {"4294967344", 1048576}, {"99999999999999999999", 1048576},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(no key)");
        reset_module();
        enter_fresh_dir();
        std::string key = std::string("MaxAddresses=") + (c.value ? c.value : "");
        write_ini(c.value ? ini_text({"[General]", key.c_str()}) : ini_text({"[General]"}));
        load_settings();
        EXPECT_EQ(settings.max_addresses, c.loaded);
        std::vector<std::string> expected = value_lines(30, 5, "No");
        if (c.loaded != 48)
            expected.insert(expected.begin() + 3,
                            logged(0, 25, "   MaxAddresses: " + std::to_string(c.loaded)));
        if (c.value && std::string(c.value) == "abc")
            expected.insert(expected.begin() + 3, logged(0, 10, "Tollgate: MaxAddresses 'abc' is "
                                                                "not a number, using 48"));
        EXPECT_EQ(log_lines(), expected);
        save_settings();
        EXPECT_EQ(ini_value("General", "MaxAddresses"), c.value ? c.value : "<missing>");
    }
}

// The repeat-offender keys: off unless RepeatFactor is 2 to 16, and a key of theirs set without
// it says so; each read as every number is (0x2 is 2, "600 min" is 600); a value that is text
// or out of range never silently becomes the harshest or the weakest; one line shows them
// after AuthFailures; a save leaves them exactly as written.
TEST_F(SettingsLoad, RepeatKeysAreCheckedShownInOneLineAndNeverSaved)
{
    const struct {
        const char *keys[3]; // RepeatFactor, MaxClearTime, RepeatAuthFailures (null: no key)
        int factor;
        std::vector<std::string> lines; // after AuthFailures: warnings, then the values
    } cases[] = {
        {{nullptr, "5", "3"}, 0,
         {"Tollgate: MaxClearTime is set but RepeatFactor is not, repeat offenders not remembered"}},
        {{"1", "60"}, 0, {}},
        {{"0", nullptr, "3"}, 0, {}},
        {{"17", "60"}, 0, {"Tollgate: RepeatFactor '17' is not 2 to 16, repeat offenders not remembered"}},
        {{"two"}, 0, {"Tollgate: RepeatFactor 'two' is not 2 to 16, repeat offenders not remembered"}},
        {{"2"}, 2, {"   Repeat:       x2, at most 10080 min, 1 failure"}},
        {{"16", "525600", "0"}, 16, {"   Repeat:       x16, at most 525600 min, 0 failures"}},
        {{"3", "a week", "31"}, 3,
         {"Tollgate: MaxClearTime 'a week' is not 1 to 525600 minutes, using 10080",
          "Tollgate: RepeatAuthFailures '31' is not 0 to 30, using 1",
          "   Repeat:       x3, at most 10080 min, 1 failure"}},
        {{"2", "20", "5"}, 2,
         {"Tollgate: MaxClearTime 20 is below ClearTime, using 30",
          "   Repeat:       x2, at most 30 min, 5 failures"}},
        {{"0x2", "600 min", "2 failures"}, 2, {"   Repeat:       x2, at most 600 min, 2 failures"}},
    };
    const char *names[3] = {"RepeatFactor", "MaxClearTime", "RepeatAuthFailures"};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.keys[0] ? c.keys[0] : "(no factor)");
        reset_module();
        enter_fresh_dir();
        std::string text = "[General]\r\n";
        for (int k = 0; k < 3; k++)
            if (c.keys[k]) text += names[k] + std::string("=") + c.keys[k] + "\r\n";
        write_ini(text);
        load_settings();
        EXPECT_EQ(settings.repeat_factor, c.factor);
        std::vector<std::string> expected = value_lines(30, 5, "No");
        for (size_t i = 0; i < c.lines.size(); i++)
            expected.insert(expected.begin() + 3 + (long)i,
                            logged(0, c.lines[i][0] == 'T' ? 10 : 25, c.lines[i]));
        EXPECT_EQ(log_lines(), expected);
        save_settings();
        for (int k = 0; k < 3; k++)
            EXPECT_EQ(ini_value("General", names[k]), c.keys[k] ? c.keys[k] : "<missing>");
    }
}

// Networks are counted only with both keys in range, each read as every number is (0x18 and
// "24 bits" are 24): one set without the other is one warning naming the missing key; anything
// else is one warning and no counting.
TEST_F(SettingsLoad, NetworkKeysCountNetworksOnlyWhenBothAreInRange)
{
    const char *cases[][3] = { // NetworkBits ("": no key), NetworkFailures, the line ("w": out of
                               // range, or the warning)
        {"", "20", "Tollgate: NetworkFailures is set but NetworkBits is not, networks not counted"},
        {"24", "", "Tollgate: NetworkBits is set but NetworkFailures is not, networks not counted"},
        {"24", "20", "/24, 20 failures"},
        {"8", "1", "/8, 1 failure"}, {"31", "65535", "/31, 65535 failures"}, {"7", "20", "w"},
        {"32", "20", "w"}, {"24", "0", "w"}, {"24", "65536", "w"}, {"x24", "20", "w"},
        {"0x18", "20 connections", "/24, 20 failures"}, {"24 bits", "0x14", "/24, 20 failures"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c[0]) + " " + c[1]);
        reset_module();
        enter_fresh_dir();
        std::string bits = std::string("NetworkBits=") + c[0], failures = "NetworkFailures=";
        write_ini(ini_text({"[General]", *c[0] ? bits.c_str() : ";", (failures + c[1]).c_str()}));
        load_settings();
        bool on = c[2] && *c[2] == '/';
        int bits_on = 0, failures_on = 0; // as the line shows them
        if (on) sscanf(c[2], "/%d, %d", &bits_on, &failures_on);
        EXPECT_EQ(settings.network_bits * 100000 + settings.network_failures,
                  bits_on * 100000 + failures_on);
        std::vector<std::string> expected = value_lines(30, 5, "No");
        if (c[2])
            expected.insert(expected.begin() + 3,
                            on ? logged(0, 25, "   Networks:     " + std::string(c[2]))
                            : *c[2] == 'T'
                                ? logged(0, 10, c[2])
                                : logged(0, 10, "Tollgate: NetworkBits '" + std::string(c[0]) +
                                                    "' or NetworkFailures '" + c[1] +
                                                    "' out of range (8 to 31, 1 to 65535), "
                                                    "networks not counted"));
        EXPECT_EQ(log_lines(), expected);
    }
}

TEST_F(SettingsLoad, ShortTermFlagIsSavedAsOne)
{
    write_ini(ini_text({"[General]", "UseShortTerm=7"}));
    load_settings();
    save_settings();
    EXPECT_EQ(ini_value("General", "UseShortTerm"), "1");
}

// One entry through load and save: how it is logged, what the list holds, how it is written.
TEST_F(SettingsLoad, EntryGrammarTable)
{
    const std::string long_value = "10.0.0.0/" + std::string(90, '0') + "24"; // cut to 99
    struct Case {
        std::string text;
        const char *logged_as; // null: invalid
        const char *saved_as;
    } cases[] = {
        {"10.1.2.3", "10.1.2.3/32", "10.1.2.3/32"},
        {"10.1.0.0/16", "10.1.0.0/16", "10.1.0.0/16"},
        {"10.1/16", "10.1/16", "10.0.0.1/16"},
        {"10.0.0.0/", "10.0.0.0/0", "10.0.0.0/32"},
        {"10.0.0.0/abc", "10.0.0.0/0", "10.0.0.0/32"},
        {"10.0.0.0/24x", "10.0.0.0/24", "10.0.0.0/24"},
        {"10.0.0.0/ 8", "10.0.0.0/8", "10.0.0.0/8"},
        {"10.0.0.0/8/9", "10.0.0.0/8", "10.0.0.0/8"},
        {"10.0.0.0/40", "10.0.0.0/40", "10.0.0.0/32"},
        {"10.0.0.0/-8", "10.0.0.0/-8", "10.0.0.0/32"},
        {"10.0.0.0/99999999999", "10.0.0.0/2147483647", "10.0.0.0/32"},
        {"192.168.1.5/24", "192.168.1.5/24", "192.168.1.5/24"}, // kept unmasked
        {long_value, "10.0.0.0/0", "10.0.0.0/32"},
        {"255.255.255.255/32", nullptr, nullptr},
        {"mail.example.org", nullptr, nullptr},
        {"/24", nullptr, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        reset_module();
        enter_fresh_dir();
        write_ini(ini_text({"[General]", "WhiteIPs=1", "[WhiteIP]", ("WhiteIP1=" + c.text).c_str()}));
        load_settings();
        std::vector<std::string> expected = value_lines(30, 5, "No");
        expected.push_back(logged(0, 25, "   WhiteList:"));
        expected.push_back(c.logged_as ? entry_line(1, c.logged_as) : invalid_line(1));
        EXPECT_EQ(log_lines(), expected);
        if (c.saved_as) EXPECT_EQ(white_entries(), std::vector<std::string>{c.saved_as});
        else EXPECT_EQ(white_count(), 0);

        save_settings();
        EXPECT_EQ(ini_value("General", "WhiteIPs"), c.saved_as ? "1" : "0");
        EXPECT_EQ(ini_value("WhiteIP", "WhiteIP1"), c.saved_as ? c.saved_as : c.text.c_str());
    }
}

TEST_F(SettingsLoad, NoKeyIsReadUnlessWhiteIPsIsPositive)
{
    for (const char *count_line : {"Other=1", "WhiteIPs=0", "WhiteIPs=-3"}) {
        SCOPED_TRACE(count_line);
        reset_module();
        enter_fresh_dir();
        write_ini(ini_text({"[General]", count_line, "[WhiteIP]", "WhiteIP1=10.0.0.1",
                            "WhiteIP2=10.0.0.2"}));
        load_settings();
        EXPECT_EQ(white_count(), 0);
        EXPECT_EQ(log_lines(), value_lines(30, 5, "No"));
    }
}

TEST_F(SettingsLoad, MissingKeyIsInvalidAndLaterKeysAreStillRead)
{
    write_ini(ini_text({"[General]", "WhiteIPs=3", "[WhiteIP]", "WhiteIP1=10.0.0.1",
                        "WhiteIP3=10.0.0.3/8"}));
    load_settings();
    EXPECT_EQ(white_entries(), (std::vector<std::string>{"10.0.0.1/32", "10.0.0.3/8"}));
    std::vector<std::string> expected = value_lines(30, 5, "No");
    expected.push_back(logged(0, 25, "   WhiteList:"));
    expected.push_back(entry_line(1, "10.0.0.1/32"));
    expected.push_back(invalid_line(2));
    expected.push_back(entry_line(3, "10.0.0.3/8"));
    EXPECT_EQ(log_lines(), expected);
}

TEST_F(SettingsLoad, EmptyValueIsInvalid)
{
    write_ini(ini_text({"[General]", "WhiteIPs=1", "[WhiteIP]", "WhiteIP1="}));
    load_settings();
    EXPECT_EQ(white_count(), 0);
    EXPECT_EQ(count_lines(invalid_line(1)), 1);
}

TEST_F(SettingsLoad, WhiteListLineComesFirstEvenWhenEveryEntryIsInvalid)
{
    write_ini(ini_text({"[General]", "WhiteIPs=2", "[WhiteIP]", "WhiteIP1=x", "WhiteIP2=y"}));
    load_settings();
    std::vector<std::string> expected = value_lines(30, 5, "No");
    expected.push_back(logged(0, 25, "   WhiteList:"));
    expected.push_back(invalid_line(1));
    expected.push_back(invalid_line(2));
    EXPECT_EQ(log_lines(), expected);
}

// Writes WhiteIPs=`count` and `valid` keys 10.0.0.<n>.
static std::string numbered_file(const std::string &count, int valid)
{
    std::string text = ini_text({"[General]", ("WhiteIPs=" + count).c_str(), "[WhiteIP]"});
    for (int n = 1; n <= valid; n++)
        text += "WhiteIP" + std::to_string(n) + "=10.0.0." + std::to_string(n) + "\r\n";
    return text;
}

TEST_F(SettingsLoad, SixteenEntriesAreKeptAndLaterOnesAreInvalid)
{
    write_ini(numbered_file("20", 20));
    load_settings();
    ASSERT_EQ(white_count(), WHITE_MAX);
    EXPECT_EQ(white_entries().back(), "10.0.0.16/32");
    std::vector<std::string> expected = value_lines(30, 5, "No");
    expected.push_back(logged(0, 25, "   WhiteList:"));
    for (int n = 1; n <= 16; n++) expected.push_back(entry_line(n, "10.0.0." + std::to_string(n) + "/32"));
    for (int n = 17; n <= 20; n++) expected.push_back(invalid_line(n));
    EXPECT_EQ(log_lines(), expected);
}

// A count far beyond what the list can hold stops at the bound with one line saying so.
TEST_F(SettingsLoad, HugeWhiteIPsStopsAtTheBoundPromptly)
{
    write_ini(numbered_file("2147483647", 20));
    DWORD start = GetTickCount();
    load_settings();
    EXPECT_LT(GetTickCount() - start, 10000u) << "start-up must not read every number";
    EXPECT_EQ(white_count(), WHITE_MAX);
    EXPECT_EQ(white_entries().front(), "10.0.0.1/32");
    EXPECT_EQ(white_entries().back(), "10.0.0.16/32");
    EXPECT_EQ(count_lines(invalid_line(SETTINGS_WHITE_KEYS_MAX)), 1);
    EXPECT_EQ(count_lines(invalid_line(SETTINGS_WHITE_KEYS_MAX + 1)), 0);
    std::vector<std::string> lines = log_lines();
    EXPECT_EQ(lines.back(), logged(0, 5, "Tollgate: white list reading stopped at entry 256 of 2147483647"));
    EXPECT_EQ(lines.size(), 4u + 1u + SETTINGS_WHITE_KEYS_MAX + 1u);
}

TEST_F(SettingsLoad, CountAtTheBoundIsReadWhole)
{
    for (int count : {(int)SETTINGS_WHITE_KEYS_MAX, (int)SETTINGS_WHITE_KEYS_MAX + 1}) {
        SCOPED_TRACE(count);
        reset_module();
        enter_fresh_dir();
        write_ini(numbered_file(std::to_string(count), 2));
        load_settings();
        EXPECT_EQ(white_count(), 2);
        EXPECT_EQ(count_lines(invalid_line(SETTINGS_WHITE_KEYS_MAX)), 1);
        int stopped = 0;
        for (const std::string &l : log_lines()) stopped += l.find("reading stopped") != std::string::npos;
        EXPECT_EQ(stopped, count > SETTINGS_WHITE_KEYS_MAX ? 1 : 0);
    }
}

// SharedStore takes an IP literal of one host (not 0.0.0.0 or 255.255.255.255) with an optional
// port and nothing else; the start-up line names the store and the prefix, never the password;
// a refused value, or a prefix or password longer than it is kept, is one warning and no store.
TEST_F(SettingsLoad, SharedStoreIsAnAddressLiteralAndThePasswordIsNeverLogged)
{
    const std::string fits(127, 'k'), secret(127, 'w'), too_long(128, 'k');
    const struct {
        const char *store;
        const char *timeout; // null: no key
        std::string line;    // the store's log line, "" for none
        std::string prefix = "p:", password = "hunter2";
    } cases[] = {
        {"10.0.0.9", nullptr, "0/25    SharedStore:  10.0.0.9:6379, prefix '" + fits + "', timeout 50 ms",
         fits, secret},
        {"10.0.0.9", nullptr, "0/10 Tollgate: SharedPrefix is longer than 127 characters, counts stay local",
         too_long},
        {"10.0.0.9", nullptr, "0/10 Tollgate: SharedPassword is longer than 127 characters, counts stay local",
         "p:", too_long},
        {"10.0.0.9:6380", nullptr, "0/25    SharedStore:  10.0.0.9:6380, prefix 'p:', timeout 50 ms"},
        {"10.0.0.9", "7", "0/25    SharedStore:  10.0.0.9:6379, prefix 'p:', timeout 7 ms"},
        {"10.0.0.9:1", "2", "0/25    SharedStore:  10.0.0.9:1, prefix 'p:', timeout 5 ms"},
        {"10.0.0.9:1", "99999999999", "0/25    SharedStore:  10.0.0.9:1, prefix 'p:', timeout 1000 ms"},
        {"redis.example:6379", nullptr, "0/10 Tollgate: SharedStore 'redis.example:6379' is not "
                                        "an IP address with a port, counts stay local"},
        {"10.0.0.9:0", nullptr, "0/10 Tollgate: SharedStore '10.0.0.9:0' is not an IP address "
                                "with a port, counts stay local"},
        {"10.0.0.256:1", nullptr, "0/10 Tollgate: SharedStore '10.0.0.256:1' is not an IP "
                                  "address with a port, counts stay local"},
        {"10.1:6379", nullptr, "0/10 Tollgate: SharedStore '10.1:6379' is not an IP address "
                               "with a port, counts stay local"},
        {"0.0.0.0:6379", nullptr, "0/10 Tollgate: SharedStore '0.0.0.0:6379' is not an IP "
                                  "address with a port, counts stay local"},
        {"255.255.255.255", nullptr, "0/10 Tollgate: SharedStore '255.255.255.255' is not an IP "
                                     "address with a port, counts stay local"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.store);
        reset_module();
        enter_fresh_dir();
        std::string store = std::string("SharedStore=") + c.store;
        std::string timeout = std::string("SharedTimeout=") + (c.timeout ? c.timeout : "");
        std::string password = "SharedPassword=" + c.password, prefix = "SharedPrefix=" + c.prefix;
        write_ini(ini_text({"[General]", store.c_str(), password.c_str(), prefix.c_str(),
                            c.timeout ? timeout.c_str() : ";"}));
        load_settings();
        std::vector<std::string> lines = log_lines();
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(lines[4], c.line);
        EXPECT_EQ(settings_shared.port != 0, c.line[2] == '2');
        EXPECT_EQ(lines[4].find(c.password), std::string::npos);
    }
}

// SharedSentinels with SharedMaster name the store through its sentinels, in a line in
// SharedStore's style; beside SharedStore they win, with a warning. A list that is not of
// literals with ports, or a name missing on either side, is one warning, and a mistyped list
// leaves the counts local rather than falling back on SharedStore.
TEST_F(SettingsLoad, SentinelsAreAddressLiteralsWithANameAndNeverFallBackOnSharedStore)
{
    const std::string both = "0/10 Tollgate: SharedStore and SharedSentinels are both set, "
                             "SharedStore is ignored",
                      refused = "' is not a list of IP addresses with ports, counts stay local",
                      store = "0/25    SharedStore:  10.0.0.5:6379, prefix 'tollgate:', "
                              "timeout 50 ms";
    const struct {
        const char *store, *sentinels, *master; // "" for no key
        std::vector<std::string> lines;
        int sentinels_read;
    } cases[] = {
        {"", "10.0.0.9|10.0.0.10:26380", "tollgate",
         {"0/25    Sentinels:    10.0.0.9:26379|10.0.0.10:26380, master 'tollgate', prefix "
          "'tollgate:', timeout 50 ms"}, 2},
        {"10.0.0.5", "10.0.0.9", "m",
         {both, "0/25    Sentinels:    10.0.0.9:26379, master 'm', prefix 'tollgate:', "
                "timeout 50 ms"},
         1},
        {"10.0.0.5", "10.0.0.9:2637x", "m",
         {both, "0/10 Tollgate: SharedSentinels '10.0.0.9:2637x" + refused}, 0},
        {"", "10.0.0.9|", "m", {"0/10 Tollgate: SharedSentinels '10.0.0.9|" + refused}, 0},
        {"", "1.1.1.1|2.2.2.2|3.3.3.3|4.4.4.4|5.5.5.5|6.6.6.6|7.7.7.7|8.8.8.8|9.9.9.9", "m",
         {"0/10 Tollgate: SharedSentinels '1.1.1.1|2.2.2.2|3.3.3.3|4.4.4.4|5.5.5.5|6.6.6.6|"
          "7.7.7.7|8.8.8.8|9.9.9.9" + refused}, 0},
        {"", "10.0.0.9", "",
         {"0/10 Tollgate: SharedSentinels is set but SharedMaster is not, counts stay local"}, 0},
        {"10.0.0.5", "", "m",
         {store, "0/10 Tollgate: SharedMaster is set but SharedSentinels is not, it is ignored"},
         0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sentinels);
        reset_module();
        enter_fresh_dir();
        std::string keys[] = {std::string("SharedStore=") + c.store,
                              std::string("SharedSentinels=") + c.sentinels,
                              std::string("SharedMaster=") + c.master};
        write_ini(ini_text({"[General]", keys[0].c_str(), keys[1].c_str(), keys[2].c_str()}));
        load_settings();
        std::vector<std::string> lines = log_lines();
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.end()), c.lines);
        EXPECT_EQ(settings_shared.sentinel_count, c.sentinels_read);
        EXPECT_EQ(settings_shared.port, c.lines[0] == store ? 6379 : 0);
    }
}

// The black list is logged after the white list in the same style; a bad entry, a missing key
// and a /0 entry (which would read as refusing everyone) each say what they are. Without a
// positive BlackIPs nothing of its section is read and nothing is logged, and a new load
// replaces what an earlier one put in force.
TEST_F(SettingsLoad, BlackListFollowsTheWhiteListInTheLogAndOnlyWithBlackIPs)
{
    write_ini(ini_text({"[General]", "WhiteIPs=1", "BlackIPs=6", "[WhiteIP]", "WhiteIP1=10.0.0.9",
                        "[BlackIP]", "BlackIP1=10.0.0.0/24", "BlackIP2=192.168.1.5/24",
                        "BlackIP4=203.0.113.7", "BlackIP5=0.0.0.0/0", "BlackIP6="}));
    load_settings();
    std::vector<std::string> expected = value_lines(30, 5, "No");
    expected.insert(expected.end(),
                    {logged(0, 25, "   WhiteList:"), entry_line(1, "10.0.0.9/32"),
                     logged(0, 25, "   BlackList:"), entry_line(1, "10.0.0.0/24"),
                     logged(0, 5, "Tollgate: invalid black list entry 2 (may be too many IPs)"),
                     logged(0, 5, "Tollgate: missing black list entry 3: no key BlackIP3 in [BlackIP]"),
                     entry_line(4, "203.0.113.7/32"),
                     logged(0, 5, "Tollgate: invalid black list entry 5 (0.0.0.0/0): a /0 entry "
                                  "would refuse every address"),
                     logged(0, 5, "Tollgate: invalid black list entry 6 (may be too many IPs)")});
    EXPECT_EQ(log_lines(), expected);
    EXPECT_EQ(black_match(ip_parse("10.0.0.255")) + black_match(ip_parse("203.0.113.7")), 2);
    EXPECT_EQ(black_match(ip_parse("0.0.0.0")), 0);

    for (const char *count_line : {"Other=1", "BlackIPs=0", "BlackIPs=-3"}) {
        SCOPED_TRACE(count_line);
        reset_module();
        enter_fresh_dir();
        write_ini(ini_text({"[General]", count_line, "[BlackIP]", "BlackIP1=10.0.0.0/24"}));
        load_settings();
        EXPECT_EQ(black_match(ip_parse("10.0.0.1")), 0);
        EXPECT_EQ(log_lines(), value_lines(30, 5, "No"));
    }
}

// A list key's files are full paths, beside Tollgate.ini unless they name a folder, blanks
// around them and empty pieces left out; a path too long for the file calls, and the files past
// the eighth together, are kept as one empty path each, with a warning, so that the list knows
// a file is missing. Nothing else is logged for the key.
TEST_F(SettingsLoad, ListFilesAreFullPathsAndTheOnesNotReadAreKeptEmpty)
{
    const std::string long_name(300, 'n');
    const struct {
        std::string value, files; // '@' stands for the working directory
        const char *warning = nullptr;
    } cases[] = {
        {"drop.txt", "@\\drop.txt|"},
        {" drop.txt |\tC:\\lists\\edrop.txt||", "@\\drop.txt|C:\\lists\\edrop.txt|"},
        {"a|" + long_name + "|b", "@\\a||@\\b|",
         "0/10 Tollgate: BlackListFile path 2 unusable or longer than 259 characters, not read"},
        {"1|2|3|4|5|6|7|8|9|10", "@\\1|@\\2|@\\3|@\\4|@\\5|@\\6|@\\7|@\\8||",
         "0/10 Tollgate: BlackListFile names more than 8 files, the rest are not read"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        reset_module();
        std::string dir = enter_fresh_dir(), files = c.files;
        write_ini(ini_text({"[General]", ("BlackListFile=" + c.value).c_str()}));
        load_settings();
        for (size_t at; (at = files.find('@')) != std::string::npos;) files.replace(at, 1, dir);
        EXPECT_EQ(settings_list_files.black, files);
        std::vector<std::string> expected = value_lines(30, 5, "No");
        if (c.warning) expected.push_back(c.warning);
        EXPECT_EQ(log_lines(), expected);
    }
}

// The trust and siege keys: each feature on only with its switch in range, a key read with it
// set alone naming the missing switch; a typo in a switch leaves its feature off and one in a
// key read with it gives the key's default, each with one warning; one line each after the
// settings that came before them; a save leaves them as written.
TEST_F(SettingsLoad, TrustAndSiegeKeysAreCheckedShownInALineEachAndNeverSaved)
{
    const struct {
        std::vector<const char *> keys;
        int trust_days, siege_failures;
        std::vector<std::string> lines; // after UseShortTerm: warnings, then the values
    } cases[] = {
        {{"TrustDays=0x1e", "TrustBits=24", "MaxTrusted=1000", "SiegeFailures=1 a minute",
          "SiegeAuthFailures=0"}, 30, 1,
         {"   Trust:        30 days, /24, at most 1000 entries",
          "   Siege:        at 1 a minute, 0 failures"}},
        {{"TrustDays=366", "TrustBits=24", "SiegeFailures=sixty", "SiegeAuthFailures=3"}, 0, 0,
         {"Tollgate: TrustDays '366' is not 1 to 365, logins not trusted",
          "Tollgate: SiegeFailures 'sixty' is not 1 to 1000000, no siege"}},
        {{"TrustBits=24", "SiegeAuthFailures=2"}, 0, 0,
         {"Tollgate: TrustBits is set but TrustDays is not, logins not trusted",
          "Tollgate: SiegeAuthFailures is set but SiegeFailures is not, no siege"}},
        {{"TrustDays=1", "TrustBits=15", "MaxTrusted=x", "SiegeFailures=60"}, 1, 60,
         {"Tollgate: TrustBits '15' is not 16 to 32, using 32",
          "Tollgate: MaxTrusted 'x' is not 48 to 1048576, using 65536",
          "   Trust:        1 day, /32, at most 65536 entries",
          "   Siege:        at 60 a minute, 1 failure"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.keys[0]);
        reset_module();
        enter_fresh_dir();
        std::string text = "[General]\r\n";
        for (const char *key : c.keys) text += key + std::string("\r\n");
        write_ini(text);
        load_settings();
        EXPECT_EQ(settings.trust_days * 10000000 + settings.siege_failures,
                  c.trust_days * 10000000 + c.siege_failures);
        std::vector<std::string> expected = value_lines(30, 5, "No");
        for (const std::string &line : c.lines)
            expected.push_back(logged(0, line[0] == 'T' ? 10 : 25, line));
        EXPECT_EQ(log_lines(), expected);
        save_settings();
        std::string first = c.keys[0], key = first.substr(0, first.find('='));
        EXPECT_EQ(key + "=" + ini_value("General", key.c_str()), first);
    }
}

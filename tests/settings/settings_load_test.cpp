// Start-up's reading of Tollgate.ini: defaults, corrections, the white-list keys and the log.
#include "tests/settings/settings_fixture.h"

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

TEST_F(SettingsLoad, OutOfRangeValuesAreCorrectedAndTheStoredValueLogged)
{
    struct Case {
        const char *line;
        int clear_time, auth_failures, short_term;
    } cases[] = {
        {"ClearTime=0", 1, 5, 0},        {"ClearTime=-5", 1, 5, 0},
        {"ClearTime=1", 1, 5, 0},        {"ClearTime=1440", 1440, 5, 0},
        {"ClearTime=1441", 1440, 5, 0},  {"ClearTime=5000", 1440, 5, 0},
        {"AuthFailures=31", 30, 30, 0},  {"AuthFailures=30", 30, 30, 0},
        {"AuthFailures=0", 30, 0, 0},    {"AuthFailures=-2", 30, -2, 0},
        {"UseShortTerm=7", 30, 5, 1},    {"UseShortTerm=-1", 30, 5, 1},
        {"UseShortTerm=0", 30, 5, 0},
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
        EXPECT_EQ(log_lines(), value_lines(c.clear_time, c.auth_failures, c.short_term ? "Yes" : "No"));
    }
}

// MaxAddresses reads as 48 to 1048576 whatever is written (digits past any integer's width
// included), is logged after AuthFailures only when it is not 48, and no save touches it.
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
        EXPECT_EQ(log_lines(), expected);
        save_settings();
        EXPECT_EQ(ini_value("General", "MaxAddresses"), c.value ? c.value : "<missing>");
    }
}

// Networks are counted only with both keys in range: either missing says and changes nothing;
// anything else is one warning and no counting.
TEST_F(SettingsLoad, NetworkKeysCountNetworksOnlyWhenBothAreInRange)
{
    const char *cases[][3] = { // NetworkBits ("": no key), NetworkFailures, the line ("w": warning)
        {"", "20", nullptr}, {"24", "", nullptr}, {"24", "20", "/24, 20 failures"},
        {"8", "1", "/8, 1 failure"}, {"31", "65535", "/31, 65535 failures"}, {"7", "20", "w"},
        {"32", "20", "w"}, {"24", "0", "w"}, {"24", "65536", "w"}, {"24x", "20", "w"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c[0]) + " " + c[1]);
        reset_module();
        enter_fresh_dir();
        std::string bits = std::string("NetworkBits=") + c[0], failures = "NetworkFailures=";
        write_ini(ini_text({"[General]", *c[0] ? bits.c_str() : ";", (failures + c[1]).c_str()}));
        load_settings();
        bool on = c[2] && *c[2] == '/';
        EXPECT_EQ(settings.network_bits * 100000 + settings.network_failures,
                  on ? atoi(c[0]) * 100000 + atoi(c[1]) : 0);
        std::vector<std::string> expected = value_lines(30, 5, "No");
        if (c[2])
            expected.insert(expected.begin() + 3,
                            on ? logged(0, 25, "   Networks:     " + std::string(c[2]))
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

// Writing Tollgate.ini back from memory, and where the file is.
#include "tests/settings/settings_fixture.h"

class SettingsSave : public SettingsFileTest {};
class SettingsPath : public SettingsFileTest {};

static const std::string SAMPLE_FILE =
    ini_text({"[General]", "Version=0.98", "ClearTime=30", "AuthFailures=5", "UseShortTerm=0",
              "WhiteIPs=2", "[WhiteIP]", "WhiteIP1=127.0.0.1/32", "WhiteIP2=192.168.1.0/24"});

TEST_F(SettingsSave, FreshFileHasExactlyTheSampleContent)
{
    load_settings(); // no file: defaults, path of this directory
    ASSERT_EQ(white_add("127.0.0.1", 32), 1);
    ASSERT_EQ(white_add("192.168.1.0", 24), 1);
    white_publish();
    host_side_reset();
    host_copy = host_side_record();
    save_settings();
    // The layout (CR LF, no blank lines) is the platform writer's; the order is the module's.
    EXPECT_EQ(read_ini(), SAMPLE_FILE);
    EXPECT_TRUE(host_side_log().empty()) << "a save logs nothing";
}

// A dialog confirmed before any start-up: the file goes where the next start-up reads it.
TEST_F(SettingsSave, SaveBeforeAnyLoadUsesTheStartupPath)
{
    ASSERT_EQ(settings_path[0], '\0');
    white_add("127.0.0.1", 32);
    white_add("192.168.1.0", 24);
    white_publish();
    save_settings();
    EXPECT_EQ(std::string(settings_path), working_dir() + "\\Tollgate.ini");
    EXPECT_EQ(read_ini(), SAMPLE_FILE);

    reset_module();
    load_settings();
    EXPECT_EQ(white_entries(), (std::vector<std::string>{"127.0.0.1/32", "192.168.1.0/24"}));
}

TEST_F(SettingsSave, ShorterListLeavesStaleKeysThatAreNotReadBack)
{
    write_ini(ini_text({"[General]", "WhiteIPs=5", "[WhiteIP]", "WhiteIP1=1.1.1.1/32",
                        "WhiteIP2=2.2.2.2/32", "WhiteIP3=3.3.3.3/32", "WhiteIP4=4.4.4.4/32",
                        "WhiteIP5=5.5.5.5/32"}));
    load_settings();
    white_add("10.0.0.0", 8); // as the dialog gathers the new list and puts it in force
    white_add("10.9.9.9", 32);
    white_publish();
    save_settings();
    EXPECT_EQ(ini_value("General", "WhiteIPs"), "2");
    EXPECT_EQ(ini_value("WhiteIP", "WhiteIP1"), "10.0.0.0/8");
    EXPECT_EQ(ini_value("WhiteIP", "WhiteIP2"), "10.9.9.9/32");
    EXPECT_EQ(ini_value("WhiteIP", "WhiteIP3"), "3.3.3.3/32");
    EXPECT_EQ(ini_value("WhiteIP", "WhiteIP5"), "5.5.5.5/32");

    reset_module();
    load_settings();
    EXPECT_EQ(white_entries(), (std::vector<std::string>{"10.0.0.0/8", "10.9.9.9/32"}));
}

TEST_F(SettingsSave, EmptyListWritesZeroAndLeavesTheWhiteSectionAlone)
{
    const std::string white_section = ini_text({"[WhiteIP]", "WhiteIP1=1.2.3.4/32", "Note=kept"});
    write_ini(ini_text({"[General]", "WhiteIPs=1"}) + white_section);
    load_settings();
    white_clear();
    save_settings();
    EXPECT_EQ(ini_value("General", "WhiteIPs"), "0");
    std::string text = read_ini();
    ASSERT_NE(text.find("[WhiteIP]"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.find("[WhiteIP]")), white_section);

    enter_fresh_dir(); // the path stays with the load's directory...
    reset_module();    // ...so start afresh here
    save_settings();
    EXPECT_EQ(read_ini().find("[WhiteIP]"), std::string::npos) << "no section for no entries";
}

TEST_F(SettingsSave, UnknownKeysAndSectionsSurvive)
{
    write_ini(ini_text({"[Notes]", "Owner=postmaster", "[General]", "Version=0.1", "Colour=blue",
                        "ClearTime=60", "[WhiteIP]", "Comment=office", "WhiteIPs=9"}));
    load_settings();
    save_settings();
    EXPECT_EQ(ini_value("Notes", "Owner"), "postmaster");
    EXPECT_EQ(ini_value("General", "Colour"), "blue");
    EXPECT_EQ(ini_value("WhiteIP", "Comment"), "office");
    EXPECT_EQ(ini_value("WhiteIP", "WhiteIPs"), "9");
    EXPECT_EQ(ini_value("General", "Version"), "0.98") << "every save sets the version";
    EXPECT_EQ(ini_value("General", "ClearTime"), "60");
}

TEST_F(SettingsSave, RoundTripPreservesEveryValue)
{
    write_ini(ini_text({"[General]", "ClearTime=45", "AuthFailures=-2", "UseShortTerm=3",
                        "WhiteIPs=4", "[WhiteIP]", "WhiteIP1=10.1/16", "WhiteIP2=192.168.16.0/20",
                        "WhiteIP3=172.16.0.9", "WhiteIP4=10.0.0.0/0"}));
    load_settings();
    const std::vector<std::string> entries = white_entries();
    ASSERT_EQ(entries, (std::vector<std::string>{"10.0.0.1/16", "192.168.16.0/20",
                                                 "172.16.0.9/32", "10.0.0.0/32"}));
    save_settings();
    const std::string first = read_ini();

    reset_module();
    load_settings();
    EXPECT_EQ(settings.clear_time, 45);
    EXPECT_EQ(settings.auth_failures, -2);
    EXPECT_EQ(settings.use_short_term, 1);
    EXPECT_EQ(white_entries(), entries);
    save_settings();
    EXPECT_EQ(read_ini(), first) << "a save of an unchanged state writes the same file";
}

TEST_F(SettingsPath, IsTheWorkingDirectoryAndTheFileName)
{
    load_settings();
    EXPECT_EQ(std::string(settings_path), working_dir() + "\\Tollgate.ini");
    EXPECT_EQ(log_lines().front(), logged(0, 25, "Tollgate: using file '" + working_dir() + "\\Tollgate.ini'"));
}

TEST_F(SettingsPath, DriveRootGetsADoubleBackslash)
{
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\"));
    load_settings();
    EXPECT_STREQ(settings_path, "C:\\\\Tollgate.ini");
}

// Every working directory Windows allows (up to 259 characters) finds its Tollgate.ini: in
// full while the file's path fits the profile calls' 259 characters, else by its short form.
TEST_F(SettingsPath, LongWorkingDirectoryIsReadWhole)
{
    char letter = 'a'; // a name of its own each, so that no two share a short form
    for (size_t length : {199u, 200u, 246u, 247u, 259u}) {
        SCOPED_TRACE(length);
        reset_module();
        ASSERT_LT(root.size() + 1, length);
        std::string dir = enter_fresh_dir(std::string(length - root.size() - 1, letter++));
        ASSERT_EQ(working_dir().size(), length);
        write_ini(ini_text({"[General]", "ClearTime=77"}));
        load_settings();
        EXPECT_EQ(settings.clear_time, 77);
        if (length + 13 < SETTINGS_PATH_SIZE) {
            EXPECT_EQ(std::string(settings_path), dir + "\\Tollgate.ini");
        }
        EXPECT_EQ(log_lines().front(), logged(0, 25, "Tollgate: using file '" +
                                                         std::string(settings_path) + "'"));
        settings.clear_time = 78;
        ASSERT_EQ(save_settings(), 1);
        EXPECT_NE(read_ini().find("ClearTime=78"), std::string::npos) << "saved where it was read";
        DeleteFileA("Tollgate.ini"); // by the short relative name: the full one is too long
        SetCurrentDirectoryA(root.c_str());
    }
}

TEST_F(SettingsPath, SaveKeepsThePathOfTheLoad)
{
    std::string first = working_dir();
    load_settings();
    enter_fresh_dir();
    settings.clear_time = 99;
    save_settings();
    EXPECT_FALSE(ini_exists()) << "a later change of directory does not move the file";
    SetCurrentDirectoryA(first.c_str());
    EXPECT_EQ(ini_value("General", "ClearTime"), "99");
}

// The dialog never shows the black list: a save leaves its key and its section as written.
TEST_F(SettingsSave, BlackListIsLeftAsTheAdministratorWroteIt)
{
    const std::string black_section =
        ini_text({"[BlackIP]", "BlackIP1=10.0.0.0/24", "BlackIP2=192.168.1.5", "BlackIP9=x"});
    write_ini(ini_text({"[General]", "BlackIPs=3", "WhiteIPs=1", "[WhiteIP]", "WhiteIP1=1.2.3.4"}) +
              black_section);
    load_settings();
    white_clear();
    save_settings();
    std::string text = read_ini();
    EXPECT_EQ(ini_value("General", "BlackIPs"), "3");
    ASSERT_NE(text.find("[BlackIP]"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.find("[BlackIP]")), black_section);
}

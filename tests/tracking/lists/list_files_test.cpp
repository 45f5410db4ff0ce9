// The list files through real files: what start-up makes of a list's file, and what a reload
// makes of it once it has been edited and then stayed the same for a pass. The allow list never
// locks everyone out: missing, unreadable or without a valid entry it is not applied, and on a
// reload such a file keeps the list in force; the black list's reload rules beside it.
#include <fstream>

#include "tests/settings/settings_fixture.h"
#include "tests/support/module_fixture.h"
#include "tracking/black_list.h"
#include "tracking/lists/lists.h"

class ListFiles : public SettingsFileTest {
protected:
    void TearDown() override
    {
        lists_stop();
        test_table_give_back();
        SettingsFileTest::TearDown();
    }
    // Writes `name` with `text` (deletes it for null), with a last-write time of its own.
    static void put(const char *name, const char *text)
    {
        static DWORD write;
        if (text == nullptr) {
            DeleteFileA(name);
            return;
        }
        std::ofstream(name, std::ios::binary) << text;
        HANDLE file = CreateFileA(name, FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        FILETIME at = {++write * 10000000u, 0x01DB0000u};
        SetFileTime(file, nullptr, nullptr, &at);
        CloseHandle(file);
    }
    // What 10.1.1.1 and 192.0.2.1 get: R refused by a list, N let in.
    static std::string verdicts()
    {
        std::string out;
        for (const char *address : {"10.1.1.1", "192.0.2.1"}) {
            int32_t verdict = connect_text(address);
            out += verdict == CHECK_BLACK || verdict == CHECK_NOT_ALLOWED ? "R" : "N";
        }
        return out;
    }
    // `line` with the full path of a.txt in place of '@'.
    static std::string with_path(std::string line)
    {
        size_t at = line.find('@');
        if (at != std::string::npos) line.replace(at, 1, working_dir() + "\\a.txt");
        return line;
    }
};

TEST_F(ListFiles, AnAllowListNeverLocksEveryoneOutAndEachListReloadsByItsRules)
{
    const struct {
        const char *what, *key, *before, *after, *start, *reload, *start_line, *reload_line;
    } cases[] = {
        {"allow: missing at start-up, then written", "AllowListFile=a.txt", nullptr, "10.0.0.0/8", "NN", "NR",
         "0/5 Tollgate: allow list not applied (a file cannot be read), every address may connect",
         "0/15 Tollgate: allow list file '@' reloaded: 1 ranges, 0 lines skipped"},
        {"allow: empty, then comments only", "AllowListFile=a.txt", "", "# none yet\n", "NN", "NN",
         "0/5 Tollgate: allow list not applied (no valid entry), every address may connect",
         "0/5 Tollgate: allow list not applied (no valid entry), every address may connect"},
        {"allow: only refused lines, then one valid", "AllowListFile=a.txt", "10.1\n010.0.0.0/8\n",
         "10.1\n10.0.0.0/8\n", "NN", "NR",
         "0/5 Tollgate: allow list not applied (no valid entry), every address may connect",
         "0/10 Tollgate: allow list file '@' reloaded: 1 ranges, 1 lines skipped (first at line 1)"},
        {"allow: one of two files missing", "AllowListFile=a.txt | b.txt", "10.0.0.0/8", "10.0.0.0/8 ; x",
         "NN", "NN", "0/5 Tollgate: allow list not applied (a file cannot be read), every address may connect",
         "0/5 Tollgate: allow list not applied (a file cannot be read), every address may connect"},
        {"allow: emptied", "AllowListFile=a.txt", "10.0.0.0/8", "", "NR", "NR",
         "0/15 Tollgate: allow list file '@': 1 ranges, 0 lines skipped",
         "0/10 Tollgate: allow list not reloaded (no valid entry), the list in force is kept"},
        {"allow: deleted", "AllowListFile=a.txt", "10.0.0.0/8", nullptr, "NR", "NR",
         "0/15 Tollgate: allow list file '@': 1 ranges, 0 lines skipped",
         "0/10 Tollgate: allow list not reloaded (a file cannot be read), the list in force is kept"},
        {"allow: another network", "AllowListFile=a.txt", "10.0.0.0/8", "192.0.2.0/24", "NR", "RN",
         "0/15 Tollgate: allow list file '@': 1 ranges, 0 lines skipped",
         "0/15 Tollgate: allow list file '@' reloaded: 1 ranges, 0 lines skipped"},
        {"black: emptied", "BlackListFile=a.txt", "10.0.0.0/8", "", "RN", "NN",
         "0/15 Tollgate: black list file '@': 1 ranges, 0 lines skipped",
         "0/10 Tollgate: black list file '@' reloaded: 0 ranges, 0 lines skipped"},
        {"black: deleted", "BlackListFile=a.txt", "10.0.0.0/8", nullptr, "RN", "RN",
         "0/15 Tollgate: black list file '@': 1 ranges, 0 lines skipped",
         "0/10 Tollgate: black list not reloaded (a file cannot be read), the list in force is kept"},
        {"black: missing at start-up, then written", "BlackListFile=a.txt", nullptr, "10.0.0.0/8", "NN", "RN",
         "0/10 Tollgate: black list file '@' cannot be opened (error 2)",
         "0/15 Tollgate: black list file '@' reloaded: 1 ranges, 0 lines skipped"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        reset_module();
        enter_fresh_dir();
        test_table_publish();
        write_ini(ini_text({"[General]", c.key}));
        put("a.txt", c.before);
        load_settings();
        lists_load();
        EXPECT_EQ(verdicts(), c.start);
        EXPECT_EQ(log_lines().back(), with_path(c.start_line));
        put("a.txt", c.after);
        lists_check();
        EXPECT_EQ(verdicts(), c.start) << "read again before it stayed the same for a pass";
        lists_check();
        EXPECT_EQ(verdicts(), c.reload);
        EXPECT_EQ(log_lines().back(), with_path(c.reload_line));
        lists_stop();
    }
}

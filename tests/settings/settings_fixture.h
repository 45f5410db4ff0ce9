// Test frame for Tollgate.ini: each test runs in fresh working directories of its own under the
// temporary directory, with the test host installed as the interface copy and the settings and
// white list at their load-time values.
#pragma once
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "host/base/host_interface.h"
#include "mailhost/host_side.h"
#include "settings/values/settings.h"
#include "settings/values/settings_table.h"
#include "settings/settings_file.h"
#include "tracking/white_list.h"

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Puts the module back as a fresh start finds it: empty log, default settings, empty white
    // list, no settings path. The working directory is not changed.
    void reset_module();
    // Creates a new empty directory (under `parent`, or under this test's root) and makes it
    // the working directory; returns its path without a trailing backslash.
    std::string enter_fresh_dir(const std::string &name = "", const std::string &parent = "");

    // Tollgate.ini in the working directory: written with exactly these bytes, read whole.
    static void write_ini(const std::string &text);
    static std::string read_ini();
    static bool ini_exists();
    // The value of `section`/`key` in the working directory's Tollgate.ini through the
    // platform's reader; "<missing>" when the key is not there.
    static std::string ini_value(const char *section, const char *key);
    static std::string working_dir();

    // The log as "type/priority text" lines.
    static std::vector<std::string> log_lines();
    // The white list as "address/prefix" texts.
    static std::vector<std::string> white_entries();

    std::string root; // this test's directory; everything it creates lies below it
};

// The lines of an ini text joined with CR LF, the last one terminated too.
std::string ini_text(std::initializer_list<const char *> lines);
// "type/priority text" of a log line, as log_lines gives them.
std::string logged(int32_t type, int32_t priority, const std::string &text);

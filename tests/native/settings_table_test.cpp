// The settings table against the manual: the README's key reference, written by hand, names
// every key the module reads or writes.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "settings/values/settings_table.h"

TEST(SettingsTable, TheManualsKeyReferenceHasARowForEveryKey)
{
    std::ifstream file(TOLLGATE_README);
    ASSERT_TRUE(file) << TOLLGATE_README;
    std::stringstream text;
    text << file.rdbuf();
    for (const settings_row &row : settings_rows)
        EXPECT_NE(text.str().find("\n| `" + std::string(row.key) + "` |"), std::string::npos)
            << row.key << " has no row in the key reference of " << TOLLGATE_README;
}

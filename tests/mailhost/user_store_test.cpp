// The user table: built-in users, the file form, and refusal of malformed files.
#include <gtest/gtest.h>

#include "mailhost/user_store.h"

TEST(MailhostUserStore, HasTheBuiltInUsersWithoutAFile)
{
    user_store_set_defaults();
    std::string password;
    ASSERT_TRUE(user_store_password("alice", &password));
    EXPECT_EQ(password, "wonderland");
    ASSERT_TRUE(user_store_password("bob", &password));
    EXPECT_EQ(password, "builder");
    EXPECT_FALSE(user_store_password("Alice", &password));
    EXPECT_EQ(user_store_count(), 2);
}

TEST(MailhostUserStore, ReadsNamePasswordLinesSkippingCommentsAndBlanks)
{
    std::string error;
    ASSERT_TRUE(user_store_parse("# users\r\ncarol:se:cret\r\n\r\ndave: two words\n", &error))
        << error;
    std::string password;
    ASSERT_TRUE(user_store_password("carol", &password));
    EXPECT_EQ(password, "se:cret");
    ASSERT_TRUE(user_store_password("dave", &password));
    EXPECT_EQ(password, " two words");
    EXPECT_FALSE(user_store_password("alice", &password));
}

TEST(MailhostUserStore, RefusesLinesWithoutNameAndKeepsTheUsers)
{
    user_store_set_defaults();
    const char *bad[] = {"carol\n", ":secret\n", "ok:1\nbroken\n"};
    for (const char *text : bad) {
        std::string error;
        EXPECT_FALSE(user_store_parse(text, &error)) << text;
        EXPECT_NE(error.find("line"), std::string::npos);
        EXPECT_EQ(user_store_count(), 2);
    }
}

TEST(MailhostUserStore, ReportsAMissingFile)
{
    std::string error;
    EXPECT_FALSE(user_store_load("no such users file.txt", &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos);
}

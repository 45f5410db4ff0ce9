// MD5 and base64 against their published test vectors, and base64's refusal of bad input.
#include <gtest/gtest.h>

#include "mailhost/base64.h"
#include "mailhost/md5.h"

TEST(MailhostMd5, MatchesTheRfc1321TestSuite)
{
    const struct {
        const char *text;
        const char *digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890"
         "123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto &c : cases) EXPECT_EQ(md5_hex(c.text), c.digest) << c.text;
}

TEST(MailhostMd5, PaddingBoundariesAgreeWithKnownDigests)
{
    // 55, 56 and 64 bytes: the length field fits the last block, needs one more, or a whole one.
    EXPECT_EQ(md5_hex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(md5_hex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(md5_hex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
}

TEST(MailhostMd5, GivesTheApopDigestOfRfc1939)
{
    EXPECT_EQ(md5_hex("<1896.697170952@dbc.mtview.ca.us>tanstaaf"),
              "c4c9334bac560ecc979e58001b3e22fb");
}

TEST(MailhostBase64, RoundTripsTheRfc4648Vectors)
{
    const char *pairs[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                              {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                              {"foobar", "Zm9vYmFy"}};
    for (const auto &p : pairs) {
        EXPECT_EQ(base64_encode(p[0]), p[1]);
        std::string decoded;
        ASSERT_TRUE(base64_decode(p[1], &decoded)) << p[1];
        EXPECT_EQ(decoded, p[0]);
    }
    std::string plain("\0alice\0wonderland", 17), decoded;
    ASSERT_TRUE(base64_decode(base64_encode(plain), &decoded));
    EXPECT_EQ(decoded, plain);
}

TEST(MailhostBase64, RefusesWhatIsNotCanonicalBase64)
{
    const char *bad[] = {"Zg",   "Zg=",  "Z===", "Zm9v!A==", "Zg==Zm8=", "Zm=v",
                         "Zh==", "Zm9=", "Zm 9v", "====",    "Zm9v\r\n"};
    for (const char *text : bad) {
        std::string decoded;
        EXPECT_FALSE(base64_decode(text, &decoded)) << text;
    }
}

// Salted password hashes.
#include "platform/ext/password_hash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/win_error.h"

namespace {

TEST(PasswordHash, VerifiesOnlyTheHashedPasswordAndSaltsEachHash) {
    char szHash[128], szAgain[128];
    ASSERT_TRUE(platform::HashPassword("line-7", szHash, sizeof szHash));
    ASSERT_TRUE(platform::HashPassword("line-7", szAgain, sizeof szAgain));
    EXPECT_EQ(0, std::strncmp(szHash, "$6$", 3));
    EXPECT_STRNE(szHash, szAgain);
    EXPECT_EQ(nullptr, std::strstr(szHash, "line-7"));
    EXPECT_TRUE(platform::VerifyPassword("line-7", szHash));
    EXPECT_TRUE(platform::VerifyPassword("line-7", szAgain));
    EXPECT_FALSE(platform::VerifyPassword("line_7", szHash));
    EXPECT_FALSE(platform::VerifyPassword("", szHash));
    EXPECT_FALSE(platform::VerifyPassword("line-7", ""));
    EXPECT_FALSE(platform::VerifyPassword("line-7", "plain"));
    EXPECT_FALSE(platform::VerifyPassword(nullptr, szHash));
}

TEST(PasswordHash, ASmallBufferIsRefused) {
    char szHash[16];
    EXPECT_FALSE(platform::HashPassword("x", szHash, sizeof szHash));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_FALSE(platform::HashPassword(nullptr, szHash, sizeof szHash));
}

}  // namespace

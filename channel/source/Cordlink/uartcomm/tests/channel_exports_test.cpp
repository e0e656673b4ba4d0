// The library's exports.
#include "channel_fixture.h"

namespace cordlink_test {
namespace {

TEST(ChannelExports, OnlyTheUartTypeIsCreated) {
    ICommChannel* pChannel = reinterpret_cast<ICommChannel*>(0x1234);
    EXPECT_FALSE(CreateChannel(&pChannel, 1));
    EXPECT_EQ(pChannel, reinterpret_cast<ICommChannel*>(0x1234));
    EXPECT_FALSE(CreateChannel(nullptr, CHANNEL_TYPE_UART));
    ASSERT_TRUE(CreateChannel(&pChannel, CHANNEL_TYPE_UART));
    ASSERT_NE(pChannel, nullptr);
    ReleaseChannel(pChannel);
    ReleaseChannel(nullptr);
}

TEST_F(ChannelTest, ReleaseClosesAnOpenPortSoItCanBeOpenedAgain) {
    ASSERT_TRUE(OpenChannel());
    ReleaseChannel(m_pChannel);
    ASSERT_TRUE(CreateChannel(&m_pChannel, CHANNEL_TYPE_UART));
    ASSERT_TRUE(m_pChannel->InitLog(Wide(m_logPath.string()).c_str(), 0x7002, 0, nullptr));
    EXPECT_TRUE(OpenChannel());
}

}  // namespace
}  // namespace cordlink_test

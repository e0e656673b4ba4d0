// The channel object itself and Open's failure rules.
#include <cstring>

#include "netlane_fixture.h"
#include "virtual_slot.h"

namespace netlane_test {
namespace {

using platform_test::VirtualSlot;

TEST(SocketChannelInterface, SlotsAreInTheirFixedOrder) {
    EXPECT_EQ(VirtualSlot(&ISocketChannel::QueryInterface), 0);
    EXPECT_EQ(VirtualSlot(&ISocketChannel::AddRef), 1);
    EXPECT_EQ(VirtualSlot(&ISocketChannel::Release), 2);
    EXPECT_EQ(VirtualSlot(&ISocketChannel::SetReceiver), 3);
    EXPECT_EQ(VirtualSlot(&ISocketChannel::GetReceiver), 4);
    EXPECT_EQ(VirtualSlot(&ISocketChannel::Open), 5);
    EXPECT_EQ(VirtualSlot(&ISocketChannel::Close), 6);
    EXPECT_EQ(VirtualSlot(&ISocketChannel::Clear), 7);
    EXPECT_EQ(VirtualSlot(&ISocketChannel::Read), 8);
    EXPECT_EQ(VirtualSlot(&ISocketChannel::Write), 9);
    EXPECT_EQ(VirtualSlot(&ISocketChannel::FreeMem), 10);
    EXPECT_EQ(VirtualSlot(&ISocketChannel::GetProperty), 11);
    EXPECT_EQ(VirtualSlot(&ISocketChannel::SetProperty), 12);
    // The identifier's in-memory layout.
    const BYTE kIid[16] = {0xD5, 0x2A, 0x12, 0x9D, 0xCF, 0xF0, 0xAB, 0x45,
                           0x87, 0xA8, 0xE7, 0xD7, 0x11, 0x62, 0xAF, 0xDB};
    EXPECT_EQ(std::memcmp(&IID_ISocketChannel, kIid, sizeof kIid), 0);
}

TEST_F(NetlaneTest, InterfaceIdentifierCountsAndFixedResults) {
    void* pObject = nullptr;
    EXPECT_EQ(m_pChannel->QueryInterface(&IID_ISocketChannel, &pObject), SK_S_OK);
    EXPECT_EQ(pObject, m_pChannel);
    // The count was not raised: one AddRef gives 2.
    EXPECT_EQ(m_pChannel->AddRef(), 2u);
    EXPECT_EQ(m_pChannel->Release(), 1u);

    IID other = IID_ISocketChannel;
    other.Data4[7] ^= 1;
    pObject = nullptr;
    EXPECT_EQ(m_pChannel->QueryInterface(&other, &pObject), SK_E_FAIL);
    EXPECT_EQ(pObject, nullptr);
    EXPECT_EQ(m_pChannel->QueryInterface(nullptr, &pObject), SK_E_FAIL);

    EXPECT_EQ(m_pChannel->GetProperty(0, 1, 2), SK_E_NOT_SUPPORTED);
    EXPECT_EQ(m_pChannel->SetProperty(0, 1, 2), SK_E_NOT_SUPPORTED);
    EXPECT_EQ(m_pChannel->Clear(), SK_S_OK);
    EXPECT_EQ(m_pChannel->FreeMem(nullptr), SK_S_OK);
    void* pBlock = std::malloc(16);
    EXPECT_EQ(m_pChannel->FreeMem(pBlock), SK_S_OK);

    UINT uMsg = 0;
    BOOL bThread = FALSE;
    DWORD dwReceiver = 0;
    EXPECT_EQ(m_pChannel->GetReceiver(&uMsg, &bThread, &dwReceiver), SK_S_OK);
    EXPECT_EQ(uMsg, kMsgData);
    EXPECT_TRUE(bThread);
    EXPECT_EQ(dwReceiver, m_host.Id());
    EXPECT_EQ(m_pChannel->SetReceiver(kMsgData + 5, FALSE, 0x1236), SK_S_OK);
    EXPECT_EQ(m_pChannel->GetReceiver(&uMsg, &bThread, &dwReceiver), SK_S_OK);
    EXPECT_EQ(uMsg, kMsgData + 5);
    EXPECT_FALSE(bThread);
    EXPECT_EQ(dwReceiver, 0x1236u);
}

TEST_F(NetlaneTest, ClientOpenRefusesBroadcastAddressWithoutASocket) {
    platform::SocketCounters before = Counters();
    EXPECT_EQ(Open(5000, 0xFFFFFFFF, TRUE), SK_E_FAIL);
    platform::SocketCounters after = Counters();
    EXPECT_EQ(after.nCreated, before.nCreated);
    EXPECT_EQ(after.nStartups, before.nStartups);
}

TEST_F(NetlaneTest, ClientOpenToAClosedPortFailsAndClosesItsSocket) {
    DWORD dwPort = FreePort();
    platform::SocketCounters before = Counters();
    EXPECT_EQ(Open(dwPort, inet_addr("127.0.0.1"), TRUE), SK_E_FAIL);
    platform::SocketCounters after = Counters();
    EXPECT_EQ(after.nCreated, before.nCreated + 1);
    EXPECT_EQ(after.nClosed, before.nClosed + 1);
    EXPECT_EQ(after.nStartups, before.nStartups);
}

TEST_F(NetlaneTest, ServerOpenOnAPortInUseFailsAtBind) {
    SOCKET sBusy = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = inet_addr("127.0.0.1");
    ASSERT_EQ(bind(sBusy, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(sBusy, 5), 0);
    int nLen = sizeof addr;
    ASSERT_EQ(getsockname(sBusy, reinterpret_cast<sockaddr*>(&addr), &nLen), 0);

    platform::SocketCounters before = Counters();
    EXPECT_EQ(Open(ntohs(addr.sin_port), 0, FALSE), SK_E_FAIL);
    platform::SocketCounters after = Counters();
    EXPECT_EQ(after.nCreated, before.nCreated + 1);
    EXPECT_EQ(after.nClosed, before.nClosed + 1);
    EXPECT_EQ(after.nStartups, before.nStartups);
    closesocket(sBusy);
}

TEST_F(NetlaneTest, FailedSocketLayerStartFailsOpen) {
    DWORD dwPort = FreePort();
    platform::InjectFault("WSAStartup", WSASYSNOTREADY, 0, 1);
    platform::SocketCounters before = Counters();
    EXPECT_EQ(Open(dwPort, 0, FALSE), SK_E_FAIL);
    EXPECT_EQ(Counters().nStartups, before.nStartups);
    EXPECT_EQ(Counters().nCreated, before.nCreated);
    // A failed listen destroys the window and releases everything too.
    platform::InjectFault("listen", WSAENOBUFS, 0, 1);
    EXPECT_EQ(Open(dwPort, 0, FALSE), SK_E_FAIL);
    EXPECT_EQ(Counters().nStartups, before.nStartups);
    EXPECT_EQ(Counters().nClosed, before.nClosed + 1);
    platform::ClearFaults();
}

TEST_F(NetlaneTest, CloseAndReleaseReleaseTheSocketLayerOnce) {
    int nBase = Counters().nStartups;
    ASSERT_NE(OpenServer(), 0u);
    EXPECT_EQ(Counters().nStartups, nBase + 1);
    // A second Open of an open channel is refused and changes nothing.
    EXPECT_EQ(Open(FreePort(), 0, FALSE), SK_E_FAIL);
    EXPECT_EQ(Counters().nStartups, nBase + 1);
    EXPECT_EQ(Close(), SK_S_OK);
    EXPECT_EQ(Counters().nStartups, nBase);
    EXPECT_EQ(Close(), SK_S_OK);
    EXPECT_EQ(m_host.Run([this] { return m_pChannel->Release(); }), 0u);
    m_pChannel = nullptr;
    EXPECT_EQ(Counters().nStartups, nBase);
}

}  // namespace
}  // namespace netlane_test

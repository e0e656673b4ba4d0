// The binary layout hosts rely on: a host built separately calls the
// channel's operations, and the channel calls a host's own log, by their
// position in the virtual table.
#include <gtest/gtest.h>

#include "cordlink/cordlink.h"
#include "virtual_slot.h"

namespace cordlink_test {
namespace {

using platform_test::VirtualSlot;

// The destructor comes first and takes entries 0 and 1 (complete and
// deleting destructor); the design's slot n >= 1 is entry n + 1.
TEST(CommChannelInterface, SlotsAreInTheirFixedOrder) {
    EXPECT_EQ(VirtualSlot(&ICommChannel::InitLog), 2);
    EXPECT_EQ(VirtualSlot(&ICommChannel::SetReceiver), 3);
    EXPECT_EQ(VirtualSlot(&ICommChannel::GetReceiver), 4);
    EXPECT_EQ(VirtualSlot(&ICommChannel::Open), 5);
    EXPECT_EQ(VirtualSlot(&ICommChannel::Close), 6);
    EXPECT_EQ(VirtualSlot(&ICommChannel::Clear), 7);
    EXPECT_EQ(VirtualSlot(&ICommChannel::Read), 8);
    EXPECT_EQ(VirtualSlot(&ICommChannel::Write), 9);
    EXPECT_EQ(VirtualSlot(&ICommChannel::FreeMem), 10);
    EXPECT_EQ(VirtualSlot(&ICommChannel::GetProperty), 11);
    EXPECT_EQ(VirtualSlot(&ICommChannel::SetProperty), 12);
}

TEST(CommChannelInterface, LogSlotsAreInTheirFixedOrder) {
    EXPECT_EQ(VirtualSlot(&IVxLog::Open), 2);
    EXPECT_EQ(VirtualSlot(&IVxLog::Close), 3);
    EXPECT_EQ(VirtualSlot(&IVxLog::Release), 4);
    EXPECT_EQ(VirtualSlot(&IVxLog::WriteRaw), 5);
    EXPECT_EQ(VirtualSlot(&IVxLog::WriteLineA), 6);
    EXPECT_EQ(VirtualSlot(&IVxLog::WriteLineW), 7);
    EXPECT_EQ(VirtualSlot(&IVxLog::WriteFormatA), 8);
    EXPECT_EQ(VirtualSlot(&IVxLog::WriteFormatW), 9);
    EXPECT_EQ(VirtualSlot(&IVxLog::WriteDump), 10);
    EXPECT_EQ(VirtualSlot(&IVxLog::SetOption), 11);
    EXPECT_EQ(VirtualSlot(&IVxLog::GetOption), 12);
}

}  // namespace
}  // namespace cordlink_test

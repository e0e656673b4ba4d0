// The process-wide error slots through the library's exports.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "faultreader/faultreader.h"

namespace {

E_MODULE_TYPE Module(DWORD dw) {
    return static_cast<E_MODULE_TYPE>(dw);
}
E_ERR_TYPE Slot(DWORD dw) {
    return static_cast<E_ERR_TYPE>(dw);
}

class ErrorStateTest : public ::testing::Test {
protected:
    void TearDown() override {
        Spec_ClearErrorCode(ERR_TYPE_SYSTEM);
        Spec_ClearErrorCode(ERR_TYPE_MODULE);
    }
};

// Runs first in this binary: nothing has been set yet.
TEST_F(ErrorStateTest, BothSlotsStartEmpty) {
    EXPECT_EQ(0u, Spec_GetErrorCode(Slot(0)));
    EXPECT_EQ(0u, Spec_GetErrorCode(Slot(1)));
    EXPECT_EQ(0u, Spec_GetError(Slot(0)));
    EXPECT_EQ(0u, Spec_GetError(Slot(1)));
}

TEST_F(ErrorStateTest, WordsAreBuiltFromTheFourArguments) {
    EXPECT_EQ(0x14001C07u, Spec_SetErrorCode(Module(5), 3, 7, TRUE));
    EXPECT_EQ(0x14001C07u, Spec_GetErrorCode(Slot(0)));
    EXPECT_EQ(7u, Spec_GetError(Slot(0)));
    EXPECT_EQ(0u, Spec_GetErrorCode(Slot(1)));

    EXPECT_EQ(0x8000001u, Spec_SetErrorCode(Module(2), 0, 1, FALSE));
    EXPECT_EQ(0x8000001u, Spec_GetErrorCode(Slot(1)));
    EXPECT_EQ(0x14001C07u, Spec_GetErrorCode(Slot(0)));
}

TEST_F(ErrorStateTest, RoutingLooksAtTheWholeModuleArgument) {
    // 65 is not 1 to 4: slot 0, and the word's module field reads 1.
    EXPECT_EQ(0x4000009u, Spec_SetErrorCode(Module(65), 0, 9, FALSE));
    EXPECT_EQ(0x4000009u, Spec_GetErrorCode(Slot(0)));
    EXPECT_EQ(0u, Spec_GetErrorCode(Slot(1)));
    Spec_SetErrorCode(Module(0), 1, 1, FALSE);
    EXPECT_EQ(0x801u, Spec_GetErrorCode(Slot(0)));
    for (DWORD m = 1; m <= 4; ++m) {
        const DWORD dw = Spec_SetErrorCode(Module(m), 0, 1, FALSE);
        EXPECT_EQ(dw, Spec_GetErrorCode(Slot(1))) << m;
    }
    EXPECT_EQ(0x801u, Spec_GetErrorCode(Slot(0)));
}

TEST_F(ErrorStateTest, FieldsAreCutToTheirWidths) {
    EXPECT_EQ(0x13FFFFFFu, Spec_SetErrorCode(Module(4), 0x7FFF, 0x3FF, TRUE));
    EXPECT_EQ(0x10000000u, Spec_SetErrorCode(Module(4), 0x8000, 0x400, FALSE));
    EXPECT_EQ(0x10000000u, Spec_GetErrorCode(Slot(1)));
    EXPECT_EQ(0u, Spec_GetError(Slot(1)));
    // Only bit 0 of the flag counts.
    EXPECT_EQ(0x14000001u, Spec_SetErrorCode(Module(5), 0, 1, 2));
    EXPECT_EQ(0x14000401u, Spec_SetErrorCode(Module(5), 0, 1, 3));
    EXPECT_EQ(0x14000401u, Spec_SetErrorCode(Module(5), 0, 1, -1));
}

TEST_F(ErrorStateTest, ClearTouchesOnlyItsSlotAndAnyNonZeroSelectsSlotOne) {
    Spec_SetErrorCode(Module(5), 3, 7, TRUE);
    Spec_SetErrorCode(Module(2), 0, 1, FALSE);
    Spec_ClearErrorCode(Slot(1));
    EXPECT_EQ(0u, Spec_GetErrorCode(Slot(1)));
    EXPECT_EQ(0x14001C07u, Spec_GetErrorCode(Slot(0)));

    Spec_SetErrorCode(Module(3), 0, 5, FALSE);
    EXPECT_EQ(5u, Spec_GetError(Slot(7)));
    EXPECT_EQ(Spec_GetErrorCode(Slot(1)), Spec_GetErrorCode(Slot(0xFFFFFFFF)));
    Spec_ClearErrorCode(Slot(42));
    EXPECT_EQ(0u, Spec_GetErrorCode(Slot(1)));
    EXPECT_EQ(0x14001C07u, Spec_GetErrorCode(Slot(0)));
}

TEST_F(ErrorStateTest, TheLastReportWins) {
    Spec_SetErrorCode(Module(1), 0x7FFF, 0x3FF, TRUE);
    Spec_SetErrorCode(Module(3), 2, 4, FALSE);
    EXPECT_EQ((3u << 26) | (2u << 11) | 4u, Spec_GetErrorCode(Slot(1)));
}

// Stores from many threads never tear a word: every word read back is one
// that some thread stored.
TEST_F(ErrorStateTest, ConcurrentReportsLeaveOneWholeWord) {
    std::vector<std::thread> threads;
    for (DWORD t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (DWORD i = 0; i < 2000; ++i) {
                Spec_SetErrorCode(Module(5 + t), t, t + 1, TRUE);
                const DWORD dw = Spec_GetErrorCode(Slot(0));
                const DWORD m = dw >> 26;
                ASSERT_TRUE(m >= 5 && m <= 8);
                ASSERT_EQ(((m - 5) << 11) | (1u << 10) | (m - 4), dw & 0x3FFFFFFu);
            }
        });
    }
    for (auto& th : threads)
        th.join();
}

}  // namespace

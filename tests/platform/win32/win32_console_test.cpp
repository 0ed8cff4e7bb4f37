// The Win32 console seam with console events the process sends itself: the control handler
// gets the events through the system's handler, and a removal waits for a call under way.
// The events are CTRL_C_EVENT: Wine's GenerateConsoleCtrlEvent refuses CTRL_BREAK_EVENT.
#include <gtest/gtest.h>

#include <atomic>

#include <windows.h>

#include "platform/win32/win32_console.h"

namespace {

constexpr DWORD EVENT_WAIT_MS = 10000;
constexpr DWORD HANDLER_HOLD_MS = 300;

std::atomic<std::uint32_t> lastEvent{0xFFFFFFFF};
HANDLE handlerEntered = nullptr;

bool RecordEvent(std::uint32_t event) {
    lastEvent.store(event);
    SetEvent(handlerEntered);
    return true;
}

std::atomic<bool> holdEnded{false};

bool HoldingHandler(std::uint32_t event) {
    lastEvent.store(event);
    SetEvent(handlerEntered);
    Sleep(HANDLER_HOLD_MS);
    holdEnded.store(true);
    return true;
}

class Win32ConsoleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // A console of the process's own, so that the events reach only this process.
        FreeConsole();
        ASSERT_TRUE(AllocConsole());
        handlerEntered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(handlerEntered, nullptr);
        lastEvent.store(0xFFFFFFFF);
    }
    void TearDown() override {
        CloseHandle(handlerEntered);
        FreeConsole();
    }
};

TEST_F(Win32ConsoleTest, ControlEventsReachThePortableHandler) {
    Win32Console console;
    ASSERT_TRUE(console.AddControlHandler(RecordEvent));
    ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
    ASSERT_EQ(WaitForSingleObject(handlerEntered, EVENT_WAIT_MS), WAIT_OBJECT_0);
    EXPECT_EQ(lastEvent.load(), CONSOLE_CTRL_C);
    console.RemoveControlHandler(RecordEvent);
}

TEST_F(Win32ConsoleTest, RemovalWaitsForACallUnderWay) {
    Win32Console console;
    ASSERT_TRUE(console.AddControlHandler(HoldingHandler));
    ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
    ASSERT_EQ(WaitForSingleObject(handlerEntered, EVENT_WAIT_MS), WAIT_OBJECT_0);
    console.RemoveControlHandler(HoldingHandler);
    EXPECT_TRUE(holdEnded.load());
}

TEST_F(Win32ConsoleTest, OneHandlerAtATime) {
    Win32Console first;
    Win32Console second;
    ASSERT_TRUE(first.AddControlHandler(RecordEvent));
    EXPECT_FALSE(second.AddControlHandler(RecordEvent));
    first.RemoveControlHandler(RecordEvent);
    EXPECT_TRUE(second.AddControlHandler(RecordEvent));
    second.RemoveControlHandler(RecordEvent);
}

}  // namespace

#include "platform/win32/win32_console.h"

#include <atomic>

#include <windows.h>

static_assert(CONSOLE_CTRL_C == CTRL_C_EVENT);
static_assert(CONSOLE_CTRL_BREAK == CTRL_BREAK_EVENT);
static_assert(CONSOLE_CTRL_CLOSE == CTRL_CLOSE_EVENT);
static_assert(CONSOLE_CTRL_LOGOFF == CTRL_LOGOFF_EVENT);
static_assert(CONSOLE_CTRL_SHUTDOWN == CTRL_SHUTDOWN_EVENT);

namespace {

// The system calls the trampoline on a thread of its own, possibly while the main thread
// removes the handler, so the portable handler is reached through an atomic, and the calls
// under way are counted so that a removal can wait for them to end.
std::atomic<ConsoleControlFunction> activeHandler{nullptr};
std::atomic<int> callsUnderWay{0};

// The output code page to put back, 0 when there is none, and how. The handler's thread and
// the main thread may both try, so the page is taken with an exchange.
std::atomic<unsigned> replacedOutputPage{0};
std::atomic<bool (*)(unsigned)> restorePage{nullptr};

bool OutputIsConsole() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

unsigned GetOutputPage() {
    return GetConsoleOutputCP();
}

bool SetOutputPage(unsigned page) {
    return SetConsoleOutputCP(page) != FALSE;
}

constexpr DWORD REMOVAL_POLL_MS = 1;

BOOL WINAPI ControlTrampoline(DWORD event) {
    ++callsUnderWay;
    const ConsoleControlFunction handler = activeHandler.load();
    const bool handled = handler != nullptr && handler(event);
    if (!handled) {
        // The default handling that follows ends the process.
        RestoreConsoleOutputPage();
    }
    --callsUnderWay;
    return handled ? TRUE : FALSE;
}

}  // namespace

const Utf8ConsoleOutput::PageCalls Utf8ConsoleOutput::SYSTEM_PAGE_CALLS = {
    OutputIsConsole, GetOutputPage, SetOutputPage};

Utf8ConsoleOutput::Utf8ConsoleOutput(const PageCalls& calls) {
    if (!calls.outputIsConsole()) {
        return;
    }
    const unsigned page = calls.getPage();
    if (page != 0 && page != CP_UTF8 && calls.setPage(CP_UTF8)) {
        restorePage.store(calls.setPage);
        replacedOutputPage.store(page);
    }
}

Utf8ConsoleOutput::~Utf8ConsoleOutput() {
    RestoreConsoleOutputPage();
}

void RestoreConsoleOutputPage() {
    const unsigned page = replacedOutputPage.exchange(0);
    if (page != 0) {
        restorePage.load()(page);
    }
}

Win32Console::~Win32Console() {
    RemoveControlHandler(activeHandler.load());
}

void* Win32Console::GetConsoleWindow() {
    return ::GetConsoleWindow();
}

void Win32Console::EnableWindow(void* window, bool enable) {
    ::EnableWindow(static_cast<HWND>(window), enable ? TRUE : FALSE);
}

bool Win32Console::AddControlHandler(ConsoleControlFunction handler) {
    if (registered_ || handler == nullptr) {
        return false;
    }
    ConsoleControlFunction none = nullptr;
    if (!activeHandler.compare_exchange_strong(none, handler)) {
        return false;
    }
    if (!SetConsoleCtrlHandler(ControlTrampoline, TRUE)) {
        activeHandler.store(nullptr);
        return false;
    }
    registered_ = true;
    return true;
}

void Win32Console::RemoveControlHandler(ConsoleControlFunction) {
    if (!registered_) {
        return;
    }
    SetConsoleCtrlHandler(ControlTrampoline, FALSE);
    activeHandler.store(nullptr);
    // A call that took the handler before it was cleared may still be using what the run
    // owns (the DeviceLink); the run ends only after it.
    while (callsUnderWay.load() != 0) {
        Sleep(REMOVAL_POLL_MS);
    }
    registered_ = false;
}

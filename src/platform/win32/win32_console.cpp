#include "platform/win32/win32_console.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>

#include <windows.h>

#include "common/standard_output.h"
#include "common/wide_string.h"

static_assert(CONSOLE_CTRL_C == CTRL_C_EVENT);
static_assert(CONSOLE_CTRL_BREAK == CTRL_BREAK_EVENT);
static_assert(CONSOLE_CTRL_CLOSE == CTRL_CLOSE_EVENT);
static_assert(CONSOLE_CTRL_LOGOFF == CTRL_LOGOFF_EVENT);
static_assert(CONSOLE_CTRL_SHUTDOWN == CTRL_SHUTDOWN_EVENT);
static_assert(sizeof(wchar_t) == sizeof(char16_t), "console text is handed to Win32 as it is");

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

// How standard output's console takes text while Utf8ConsoleOutput writes through it.
std::atomic<bool (*)(const char16_t*, std::uint32_t, std::uint32_t&)> consoleWrite{nullptr};

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

bool WriteOutputConsole(const char16_t* text, std::uint32_t length, std::uint32_t& written) {
    DWORD took = 0;
    const bool ok =
        WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &took, nullptr) != FALSE;
    written = took;
    return ok;
}

// Older consoles refuse a single write of 64 KiB or more.
constexpr std::size_t CONSOLE_WRITE_UNITS = 8192;

// The C runtime's text mode writes "\n" as "\r\n"; the console gets the same.
void WriteConsoleText(const char* text, std::size_t length) {
    const auto write = consoleWrite.load();
    if (write == nullptr) {
        return;
    }
    // Whatever went to stdout through the C runtime comes first.
    std::fflush(stdout);
    std::u16string units;
    for (const char16_t unit : ReplaceUnpairedSurrogates(Utf8ToUtf16({text, length}))) {
        if (unit == u'\n') {
            units.push_back(u'\r');
        }
        units.push_back(unit);
    }
    std::size_t done = 0;
    while (done < units.size()) {
        const std::size_t ask = std::min(units.size() - done, CONSOLE_WRITE_UNITS);
        std::uint32_t written = 0;
        if (!write(units.data() + done, static_cast<std::uint32_t>(ask), written) || written == 0) {
            return;
        }
        done += written;
    }
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

constexpr wchar_t SESSION_WINDOW_CLASS[] = L"scanflash session end";

// The session may end once WM_ENDSESSION has been answered, so the reader is stopped (and a
// feature-mode device switched off and closed) before the answer, as on a console close.
LRESULT CALLBACK SessionWindowProcedure(HWND window, UINT message, WPARAM ending, LPARAM how) {
    switch (message) {
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_ENDSESSION:
            if (ending != FALSE) {
                const bool logoff = (static_cast<ULONG_PTR>(how) & ENDSESSION_LOGOFF) != 0;
                ControlTrampoline(logoff ? CTRL_LOGOFF_EVENT : CTRL_SHUTDOWN_EVENT);
            }
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, ending, how);
    }
}

struct SessionWatchStart {
    HANDLE ready;
    HWND window;
};

DWORD WINAPI WatchSessionEnd(LPVOID raw) {
    auto* start = static_cast<SessionWatchStart*>(raw);
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = SessionWindowProcedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = SESSION_WINDOW_CLASS;
    // An earlier run of the process registered it already; that is no failure.
    RegisterClassW(&windowClass);
    // Top-level, so that the session messages reach it, and never shown.
    const HWND window = CreateWindowExW(0, SESSION_WINDOW_CLASS, L"", WS_OVERLAPPED, 0, 0, 0, 0,
                                        nullptr, nullptr, instance, nullptr);
    start->window = window;
    SetEvent(start->ready);
    if (window == nullptr) {
        return 0;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    return 0;
}

}  // namespace

const Utf8ConsoleOutput::ConsoleCalls Utf8ConsoleOutput::SYSTEM_CONSOLE_CALLS = {
    OutputIsConsole, GetOutputPage, SetOutputPage, WriteOutputConsole};

Utf8ConsoleOutput::Utf8ConsoleOutput(const ConsoleCalls& calls) {
    if (!calls.outputIsConsole()) {
        return;
    }
    consoleWrite.store(calls.writeConsole);
    SetStandardOutputWriter(WriteConsoleText);
    const unsigned page = calls.getPage();
    if (page != 0 && page != CP_UTF8 && calls.setPage(CP_UTF8)) {
        restorePage.store(calls.setPage);
        replacedOutputPage.store(page);
    }
}

Utf8ConsoleOutput::~Utf8ConsoleOutput() {
    SetStandardOutputWriter(nullptr);
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
    StartSessionWatch();
    return true;
}

void Win32Console::RemoveControlHandler(ConsoleControlFunction) {
    if (!registered_) {
        return;
    }
    SetConsoleCtrlHandler(ControlTrampoline, FALSE);
    StopSessionWatch();
    activeHandler.store(nullptr);
    // A call that took the handler before it was cleared may still be using what the run
    // owns (the DeviceLink); the run ends only after it.
    while (callsUnderWay.load() != 0) {
        Sleep(REMOVAL_POLL_MS);
    }
    registered_ = false;
}

void Win32Console::StartSessionWatch() {
    SessionWatchStart start{CreateEventW(nullptr, TRUE, FALSE, nullptr), nullptr};
    if (start.ready == nullptr) {
        return;
    }
    const HANDLE thread = CreateThread(nullptr, 0, WatchSessionEnd, &start, 0, nullptr);
    if (thread != nullptr) {
        WaitForSingleObject(start.ready, INFINITE);
        if (start.window != nullptr) {
            sessionThread_ = thread;
            sessionWindow_ = start.window;
        } else {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
    }
    CloseHandle(start.ready);
}

void Win32Console::StopSessionWatch() {
    if (sessionThread_ == nullptr) {
        return;
    }
    // The window's end ends its thread's message loop; a WM_ENDSESSION under way is over
    // when the thread is.
    PostMessageW(static_cast<HWND>(sessionWindow_), WM_CLOSE, 0, 0);
    WaitForSingleObject(sessionThread_, INFINITE);
    CloseHandle(sessionThread_);
    sessionThread_ = nullptr;
    sessionWindow_ = nullptr;
}

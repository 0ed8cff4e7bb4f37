// The Win32 console seam with console events the process sends itself: the control handler
// gets the events through the system's handler, and a removal waits for a call under way.
// The events are CTRL_C_EVENT: Wine's GenerateConsoleCtrlEvent refuses CTRL_BREAK_EVENT.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include <windows.h>

#include "common/standard_output.h"
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

bool PassEventOn(std::uint32_t event) {
    lastEvent.store(event);
    return false;
}

// Registered before the seam's handler, so called after it: stands in for the system's
// default handling, which would end the test.
HANDLE defaultHandlingReached = nullptr;
BOOL WINAPI StandInForTheDefaultHandling(DWORD) {
    SetEvent(defaultHandlingReached);
    return TRUE;
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

// The console's output code page and text, as the fake calls below keep them: Wine's console
// has no code page of its own, and under the tests standard output is a pipe. The fake
// console takes at most 5 units a call, as a console may take fewer than it is given.
std::atomic<unsigned> fakePage{850};
std::atomic<int> pageChanges{0};
std::u16string fakeConsoleText;
int fakeConsoleWrites = 0;
const Utf8ConsoleOutput::ConsoleCalls FAKE_PAGE_CALLS = {
    [] { return true; },
    [] { return fakePage.load(); },
    [](unsigned page) {
        fakePage.store(page);
        ++pageChanges;
        return true;
    },
    [](const char16_t* text, std::uint32_t length, std::uint32_t& written) {
        written = length < 5 ? length : 5;
        fakeConsoleText.append(text, written);
        ++fakeConsoleWrites;
        return true;
    },
};

// The output code page goes back to what it was on every way out: at the end of the run, and
// when the handler hands an event on to the default handling (as it does with close, log-off
// and shut-down; the test sends the interrupt key, which Wine can generate). Once only.
TEST_F(Win32ConsoleTest, TheOutputCodePageComesBackOnEveryWayOut) {
    fakePage.store(850);
    {
        const Utf8ConsoleOutput utf8(FAKE_PAGE_CALLS);
        EXPECT_EQ(fakePage.load(), static_cast<unsigned>(CP_UTF8));
    }
    EXPECT_EQ(fakePage.load(), 850u);

    defaultHandlingReached = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(defaultHandlingReached, nullptr);
    ASSERT_TRUE(SetConsoleCtrlHandler(StandInForTheDefaultHandling, TRUE));
    {
        const Utf8ConsoleOutput utf8(FAKE_PAGE_CALLS);
        ASSERT_EQ(fakePage.load(), static_cast<unsigned>(CP_UTF8));
        Win32Console console;
        ASSERT_TRUE(console.AddControlHandler(PassEventOn));
        ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
        ASSERT_EQ(WaitForSingleObject(defaultHandlingReached, EVENT_WAIT_MS), WAIT_OBJECT_0);
        EXPECT_EQ(lastEvent.load(), CONSOLE_CTRL_C);
        EXPECT_EQ(fakePage.load(), 850u);
        console.RemoveControlHandler(PassEventOn);
        pageChanges.store(0);
    }
    EXPECT_EQ(pageChanges.load(), 0);
    SetConsoleCtrlHandler(StandInForTheDefaultHandling, FALSE);
    CloseHandle(defaultHandlingReached);
}

// A handled event (the interrupt key is swallowed) leaves the UTF-8 page in place.
TEST_F(Win32ConsoleTest, AHandledEventKeepsTheUtf8Page) {
    fakePage.store(437);
    const Utf8ConsoleOutput utf8(FAKE_PAGE_CALLS);
    Win32Console console;
    ASSERT_TRUE(console.AddControlHandler(RecordEvent));
    ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
    ASSERT_EQ(WaitForSingleObject(handlerEntered, EVENT_WAIT_MS), WAIT_OBJECT_0);
    console.RemoveControlHandler(RecordEvent);
    EXPECT_EQ(fakePage.load(), static_cast<unsigned>(CP_UTF8));
}

// A console gets the progress text as UTF-16 through WriteConsoleW, "\n" as "\r\n" and
// whole however little each call takes; a redirected output, and any output once the run is
// over, gets the C runtime's bytes as before.
TEST(WindowsConsoleText, AConsoleGetsItsTextAsUtf16) {
    Utf8ConsoleOutput::ConsoleCalls redirected = FAKE_PAGE_CALLS;
    redirected.outputIsConsole = [] { return false; };
    const std::string longName(300, 'x');
    for (const bool console : {true, false}) {
        fakeConsoleText.clear();
        fakeConsoleWrites = 0;
        {
            const Utf8ConsoleOutput output(console ? FAKE_PAGE_CALLS : redirected);
            PrintStandardOutput("sk\xC3\xA4n %u\n%s\n", 7u, longName.c_str());
        }
        PrintStandardOutput("%s", " ");
        const std::u16string expected = u"sk\u00E4n 7\r\n" + std::u16string(300, u'x') + u"\r\n";
        EXPECT_EQ(fakeConsoleText, console ? expected : u"") << console;
        EXPECT_EQ(fakeConsoleWrites, console ? 62 : 0) << console;
    }
}

// A console program that loads user32 learns of a log-off or shut-down only through the
// session messages to its windows: the ending session reaches the handler as the matching
// event, a query or a session that goes on does not, and the window goes with the handler.
TEST_F(Win32ConsoleTest, SessionEndMessagesReachTheHandler) {
    struct Case {
        WPARAM ending;
        LPARAM how;
        std::uint32_t event;
    };
    const Case cases[] = {
        {TRUE, static_cast<LPARAM>(ENDSESSION_LOGOFF), CONSOLE_CTRL_LOGOFF},
        {TRUE, 0, CONSOLE_CTRL_SHUTDOWN},
        {TRUE, ENDSESSION_CLOSEAPP, CONSOLE_CTRL_SHUTDOWN},
        {FALSE, static_cast<LPARAM>(ENDSESSION_LOGOFF), 0xFFFFFFFF},
    };
    Win32Console console;
    ASSERT_TRUE(console.AddControlHandler(PassEventOn));
    HWND window = nullptr;  // this process's, not another test's
    DWORD owner = 0;
    do {
        window = FindWindowExW(nullptr, window, L"scanflash session end", nullptr);
        GetWindowThreadProcessId(window, &owner);
    } while (window != nullptr && owner != GetCurrentProcessId());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(SendMessageW(window, WM_QUERYENDSESSION, 0, 0), TRUE);
    EXPECT_EQ(lastEvent.load(), 0xFFFFFFFF);
    for (const Case& c : cases) {
        lastEvent.store(0xFFFFFFFF);
        SendMessageW(window, WM_ENDSESSION, c.ending, c.how);
        EXPECT_EQ(lastEvent.load(), c.event) << c.how;
    }
    console.RemoveControlHandler(PassEventOn);
    EXPECT_FALSE(IsWindow(window));
}

// The Windows path of a program built in this tree (Wine reaches the Linux root as Z:).
std::wstring ProgramPath(const char* linuxPath) {
    std::wstring path = L"Z:";
    for (const char* at = linuxPath; *at != 0; ++at) {
        path.push_back(*at == '/' ? L'\\' : static_cast<wchar_t>(*at));
    }
    return path;
}

// Runs program with commandLine (whose first word becomes its argv[0]); returns its standard
// output and sets its exit code.
std::string RunProgram(const std::wstring& program, std::wstring commandLine, DWORD& exitCode) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        return "(no pipe)";
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    const BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        0, nullptr, nullptr, &startup, &process);
    CloseHandle(writeEnd);
    std::string output;
    if (started) {
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0) {
            output.append(chunk, got);
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(readEnd);
    return started ? output : "(not started)";
}

// A program name with an unpaired surrogate prints it as U+FFFD: never as bytes that are not
// UTF-8, whether the unit stands alone or lies where Linux keeps its escaped bytes.
TEST(WindowsConsoleText, AnUnpairedSurrogateInTheProgramNamePrintsAsTheReplacementCharacter) {
    struct Case {
        const char* program;
        wchar_t unit;
    };
    const Case cases[] = {
        {SCANFLASH_PATH, 0xD800},
        {SCANFLASH_PATH, 0xDC80},
        {SCANFLASH_DEMO_PATH, 0xDBFF},
        {SCANFLASH_DEMO_PATH, 0xDCFF},
    };
    for (const Case& c : cases) {
        std::wstring name = L"up";
        name.push_back(c.unit);
        name += L"z.exe";
        DWORD exitCode = 0;
        const std::string output = RunProgram(ProgramPath(c.program), name, exitCode);
        EXPECT_EQ(output.substr(0, output.find('\r')), "up\xEF\xBF\xBDz.exe  Version: 1.0.2.2")
            << c.program << " " << static_cast<unsigned>(c.unit);
        EXPECT_EQ(exitCode, 11u) << c.program;
    }
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

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <ctime>

#include "common/wide_string.h"
#include "platform/win32/win32_long_path.h"
#include "trace/trace_platform.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wide strings are handed on as they are");

bool TraceFileFromEnvironment(std::u16string& path) {
    const wchar_t* value = _wgetenv(L"SCANFLASH_TRACE");
    if (value == nullptr || *value == 0) {
        return false;
    }
    path = reinterpret_cast<const char16_t*>(value);
    return true;
}

namespace {

// The system's own words for an error, on one line, or its number.
std::string ErrorText(DWORD error) {
    wchar_t text[256];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof text / sizeof text[0], nullptr);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' ||
                          text[length - 1] == L' ' || text[length - 1] == L'.')) {
        --length;
    }
    if (length == 0) {
        return "error " + std::to_string(error);
    }
    return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

}  // namespace

std::FILE* OpenTraceFile(const std::u16string& path, std::string& refusal) {
    // The handle is not inherited by programs the process may start (no security attributes).
    // FILE_FLAG_OPEN_REPARSE_POINT opens a symbolic link itself, which is then refused, rather
    // than whatever it names; a pipe or device opens without waiting and is refused too.
    const HANDLE handle =
        CreateFileW(LongPathForm(reinterpret_cast<const wchar_t*>(path.c_str())).c_str(),
                    FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        refusal = ErrorText(GetLastError());
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        refusal = "it is not a regular file";
    } else if (!GetFileInformationByHandle(handle, &information)) {
        refusal = ErrorText(GetLastError());
    } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        refusal = "it is a symbolic link";
    } else {
        const int descriptor =
            _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND | _O_BINARY);
        std::FILE* file = descriptor < 0 ? nullptr : _fdopen(descriptor, "ab");
        if (file != nullptr) {
            return file;
        }
        refusal = "it cannot be written";
        if (descriptor >= 0) {
            _close(descriptor);  // closes the handle too
            return nullptr;
        }
    }
    CloseHandle(handle);
    return nullptr;
}

std::string OperatingSystemText() {
    // GetVersionEx answers with the version the program was built for; ntdll tells the truth.
    using GetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto getVersion =
        ntdll == nullptr ? nullptr
                         : reinterpret_cast<GetVersionFunction>(
                               reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (getVersion == nullptr || getVersion(&version) != 0) {
        return "Windows";
    }
    return "Windows " + std::to_string(version.dwMajorVersion) + "." +
           std::to_string(version.dwMinorVersion) + "." + std::to_string(version.dwBuildNumber);
}

std::string UtcTimeText() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    char text[32] = "unknown";
    if (gmtime_s(&parts, &now) == 0) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    }
    return text;
}

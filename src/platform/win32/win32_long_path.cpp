#include "platform/win32/win32_long_path.h"

#include <windows.h>

std::wstring LongPathForm(const wchar_t* fileName) {
    const std::wstring name = fileName;
    if (name.starts_with(L"\\\\?\\") || name.starts_with(L"\\\\.\\")) {
        return name;
    }
    const DWORD size = GetFullPathNameW(fileName, 0, nullptr, nullptr);
    if (size == 0) {
        return name;
    }
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(fileName, size, full.data(), nullptr);
    if (length == 0 || length >= size || length < MAX_PATH) {
        return name;
    }
    full.resize(length);
    if (full.starts_with(L"\\\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

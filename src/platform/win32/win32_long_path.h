// Long names on Windows: a path of MAX_PATH units or more opens only in its \\?\ form unless
// the system's long-path setting is on, and it is off by default, whatever the program's
// manifest declares.
#pragma once

#include <string>

// The name to open fileName by. A name whose full path is shorter than MAX_PATH, and one that
// begins with \\?\ or \\.\ already, stays as it is. Any other becomes its full path with the
// prefix \\?\ (a drive path) or \\?\UNC\ (a share): behind the prefix Windows resolves
// nothing, so the full path is GetFullPathNameW's, with the current folder, "." and ".."
// resolved and "/" turned into "\". A name whose full path cannot be formed stays as it is.
std::wstring LongPathForm(const wchar_t* fileName);

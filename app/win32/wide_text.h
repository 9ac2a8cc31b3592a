// The core speaks the wire's one-byte characters (Latin-1); the Win32 controls speak UTF-16.
#pragma once

#include <string>

namespace kavro::win32 {

std::wstring widen(const std::string& latin1);
// Characters outside Latin-1 become '?', as the wire cannot carry them.
std::string narrow(const std::wstring& text);

}  // namespace kavro::win32

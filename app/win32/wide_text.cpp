#include "app/win32/wide_text.h"

namespace kavro::win32 {

std::wstring widen(const std::string& latin1) {
    std::wstring text;
    text.reserve(latin1.size());
    for (const char c : latin1) text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return text;
}

std::string narrow(const std::wstring& text) {
    std::string latin1;
    latin1.reserve(text.size());
    for (const wchar_t c : text) latin1.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
    return latin1;
}

}  // namespace kavro::win32

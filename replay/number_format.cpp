#include "replay/number_format.h"

#include <array>
#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

namespace kavro {
namespace {

// Enough fraction digits that the first two are those of the exact binary value: a double that
// is not exactly on a rounding boundary (k + 0.05 for a multiple k of 0.1) differs from it by
// far more than 1e-60, so rounding at the 60th digit can never reach the second one.
constexpr int kExactDigits = 60;

// Adds one to the decimal digit string `digits` (no sign, no separator), carrying to the left.
void increment(std::string& digits) {
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        if (*it != '9') {
            ++*it;
            return;
        }
        *it = '0';
    }
    digits.insert(digits.begin(), '1');
}

}  // namespace

std::string format_one_decimal(double value, char decimal_separator) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

    // Fixed notation without locale: at most 309 integer digits, a point and the fraction.
    std::array<char, 400> buffer;
    const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                         std::fabs(value), std::chars_format::fixed, kExactDigits);
    if (ec != std::errc{}) return "nan";  // cannot happen with this buffer size
    const std::string_view text(buffer.data(), static_cast<std::size_t>(end - buffer.data()));

    const std::size_t point = text.find('.');
    // Integer digits followed by the first decimal digit; the second decimal decides rounding.
    std::string digits(text.substr(0, point));
    digits += text[point + 1];
    if (text[point + 2] >= '5') increment(digits);

    const bool zero = digits.find_first_not_of('0') == std::string::npos;
    std::string result;
    if (value < 0 && !zero) result += '-';
    result.append(digits, 0, digits.size() - 1);
    result += decimal_separator;
    result += digits.back();
    return result;
}

}  // namespace kavro

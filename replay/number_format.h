// Numbers as the window shows them: packet times in the caster list and the sent and received
// rates of the throughput meter.
#pragma once

#include <string>

namespace kavro {

// `value` with exactly one digit after the decimal point, rounded half away from zero on the
// value's exact binary value (0.25 gives "0.3"; 0.35, held as a double slightly below .35, gives
// "0.3"), with `decimal_separator` between the integer part and the decimal digit. Negative values
// keep their sign ("-0.3"), except that a result of zero is always "0.0". Infinities and NaN are
// written "inf", "-inf" and "nan".
std::string format_one_decimal(double value, char decimal_separator = '.');

}  // namespace kavro

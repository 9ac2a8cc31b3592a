// A strict reader of the Prometheus text exposition format (0.0.4) for the metrics tests: it
// accepts a text only if every sample belongs to a family declared before it with one HELP and
// one TYPE line, and every line is well formed.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kavro::relay::testing {

struct Exposition {
    std::map<std::string, std::string> family_types;  // family name -> counter, gauge, ...
    // "name{label="value",...}" with labels as written -> value.
    std::map<std::string, double> samples;
    std::string problem;  // empty when the text is well formed

    std::optional<double> value(const std::string& sample) const;
    // The type of the family `sample` belongs to.
    std::string type_of(const std::string& sample) const;
};

Exposition parse_exposition(std::string_view text);

}  // namespace kavro::relay::testing

#include "tests/relay/exposition.h"

#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>

namespace kavro::relay::testing {

namespace {

const std::regex kName("[a-zA-Z_:][a-zA-Z0-9_:]*");
const std::regex kComment("# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) (.*)");
// name, optional {labels}, value; labels are checked one by one below.
const std::regex kSample("([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{(.*)\\})? (\\S+)");
const std::regex kLabel("([a-zA-Z_][a-zA-Z0-9_]*)=\"((?:[^\"\\\\\\n]|\\\\[\\\\\"n])*)\"(,|$)");
const std::set<std::string> kTypes = {"counter", "gauge", "histogram", "summary", "untyped"};

bool labels_well_formed(const std::string& labels) {
    auto position = labels.cbegin();
    std::smatch match;
    while (position != labels.cend()) {
        if (!std::regex_search(position, labels.cend(), match, kLabel,
                               std::regex_constants::match_continuous)) {
            return false;
        }
        position = match[0].second;
    }
    return true;
}

bool number(const std::string& text, double& out) {
    if (text == "+Inf" || text == "-Inf" || text == "NaN") return true;
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size();
}

std::string sample_name(const std::string& sample) { return sample.substr(0, sample.find('{')); }

}  // namespace

std::optional<double> Exposition::value(const std::string& sample) const {
    const auto it = samples.find(sample);
    if (it == samples.end()) return std::nullopt;
    return it->second;
}

std::string Exposition::type_of(const std::string& sample) const {
    const auto it = family_types.find(sample_name(sample));
    return it == family_types.end() ? "" : it->second;
}

Exposition parse_exposition(std::string_view text) {
    Exposition result;
    std::set<std::string> helped;
    std::set<std::string> with_samples;
    std::string current;  // the family whose samples may follow
    std::istringstream lines{std::string(text)};
    std::string line;
    int number_of_line = 0;
    const auto fail = [&](const std::string& why) {
        result.problem = "line " + std::to_string(number_of_line) + ": " + why + ": " + line;
        return result;
    };
    if (!text.empty() && text.back() != '\n') {
        result.problem = "the text does not end with a line feed";
        return result;
    }
    while (std::getline(lines, line)) {
        ++number_of_line;
        std::smatch match;
        if (line.empty()) continue;
        if (line[0] == '#') {
            if (!std::regex_match(line, match, kComment)) return fail("a comment of no known kind");
            const std::string family = match[2];
            if (match[1] == "HELP") {
                if (!helped.insert(family).second) return fail("a second HELP");
                continue;
            }
            if (!kTypes.count(match[3])) return fail("an unknown type");
            if (!result.family_types.emplace(family, match[3]).second) {
                return fail("a second TYPE");
            }
            if (with_samples.count(family)) return fail("a TYPE after the family's samples");
            current = family;
            continue;
        }
        if (!std::regex_match(line, match, kSample)) return fail("not a sample");
        const std::string name = match[1];
        // A histogram's samples carry its name with _bucket, _sum or _count.
        const auto type = result.family_types.find(current);
        const bool histogram_part =
            type != result.family_types.end() && type->second == "histogram" &&
            (name == current + "_bucket" || name == current + "_sum" || name == current + "_count");
        if (name != current && !histogram_part) {
            return fail("a sample outside its declared family");
        }
        if (!helped.count(current)) return fail("a family without HELP");
        if (match[2].matched && !labels_well_formed(match[3])) return fail("bad labels");
        double value = 0;
        if (!number(match[4], value)) return fail("a value that is not a number");
        const std::string key = name + (match[2].matched ? std::string(match[2]) : "");
        if (!result.samples.emplace(key, value).second) return fail("a sample given twice");
        with_samples.insert(current);
    }
    return result;
}

}  // namespace kavro::relay::testing

#include "client/relay_file.h"

#include <fstream>
#include <string_view>
#include <system_error>

namespace kavro {
namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

bool starts_with_utf16_mark(std::string_view content) {
    return content.starts_with("\xFF\xFE") || content.starts_with("\xFE\xFF");
}

// The line without its comment and surrounding blanks.
std::string_view address_part(std::string_view line) {
    line = line.substr(0, line.find('#'));
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
}

}  // namespace

std::string path_text(const std::filesystem::path& path) {
    const std::u8string utf8 = path.u8string();
    std::string text;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (length == 1) {
            text.push_back(static_cast<char>(lead));
        } else if (length == 2 && i + 1 < utf8.size()) {
            const unsigned code =
                ((lead & 0x1Fu) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3Fu);
            text.push_back(code <= 0xFF ? static_cast<char>(code) : '?');
        } else {
            text.push_back('?');
        }
        i += length;
    }
    return text;
}

RelayFileContent read_relay_file(const std::filesystem::path& file,
                                 const std::string& default_port) {
    RelayFileContent result;
    std::error_code error;
    const auto status = std::filesystem::status(file, error);
    if (status.type() == std::filesystem::file_type::not_found) return result;
    const std::string name = path_text(file);

    std::ifstream in;
    if (std::filesystem::is_regular_file(status)) in.open(file, std::ios::binary);
    std::string content(kMaxRelayFileSize + 1, '\0');
    if (in.is_open()) in.read(content.data(), static_cast<std::streamsize>(content.size()));
    if (!in.is_open() || in.bad()) {
        result.problem = name + " cannot be read.";
        return result;
    }
    content.resize(static_cast<std::size_t>(in.gcount()));
    if (content.size() > kMaxRelayFileSize) {
        result.problem = name + " is larger than " + std::to_string(kMaxRelayFileSize / 1024) +
                         " KiB, too large to hold a relay address.";
        return result;
    }
    if (starts_with_utf16_mark(content)) {
        result.problem = name + " is saved as UTF-16: save it as plain text (ANSI or UTF-8).";
        return result;
    }
    std::string_view rest(content);
    if (rest.starts_with(kUtf8Mark)) rest.remove_prefix(kUtf8Mark.size());

    int address_line = 0;
    for (int number = 1; !rest.empty() || number == 1; ++number) {
        const auto end = rest.find('\n');
        const std::string_view text = address_part(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (text.empty()) continue;
        const std::string where = name + ", line " + std::to_string(number);
        if (address_line != 0) {
            result.address.reset();
            result.problem = where + ", holds a second relay address, " + in_quotes(text) +
                             ": the file may hold only one (line " + std::to_string(address_line) +
                             " holds the first).";
            return result;
        }
        const ParsedRelayAddress parsed = parse_relay_address(text, default_port);
        if (!parsed.address) {
            result.problem = "The relay address " + in_quotes(text) + " in " + where +
                             ", cannot be used: " + parsed.problem + ".";
            return result;
        }
        result.address = parsed.address;
        address_line = number;
    }
    return result;
}

}  // namespace kavro

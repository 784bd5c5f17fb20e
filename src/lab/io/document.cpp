#include "io/document.h"

#include <algorithm>
#include <sstream>

#include "core/text.h"

namespace lab::io {

constexpr int json_format_version = 2;
nlohmann::ordered_json run_header(const char* command, const run_description& run) {
    return {{"command", command}, {"format_version", json_format_version}, {"settings", run.settings},
            {"machine", run.machine}, {"compiler", run.compiler}};
}

int name_width(const std::vector<std::string>& names, std::size_t least) {
    for (const auto& n : names) least = std::max(least, n.size());
    return static_cast<int>(least);
}

namespace {

// A text as valid UTF-8: each byte that is not part of a well-formed sequence becomes the four
// characters \xNN. A key file's name is bytes, and JSON holds only Unicode text.
std::string as_utf8(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
        const unsigned char lead = byte(i);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 && lead >= 0xC2 ? 2 : (lead >> 4) == 0xE ? 3
                                 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
        bool valid = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) valid = (byte(i + k) & 0xC0) == 0x80;
        // Overlong three-byte forms, UTF-16 surrogates, and four-byte forms past U+10FFFF.
        if (valid && length == 3) valid = !(lead == 0xE0 && byte(i + 1) < 0xA0) && !(lead == 0xED && byte(i + 1) >= 0xA0);
        if (valid && length == 4) valid = !(lead == 0xF0 && byte(i + 1) < 0x90) && !(lead == 0xF4 && byte(i + 1) >= 0x90);
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            out += format("\\x%02X", lead);
            ++i;
        }
    }
    return out;
}

}  // namespace

void make_utf8(nlohmann::ordered_json& value) {
    if (value.is_string()) value = as_utf8(value.get<std::string>());
    if (value.is_structured())
        for (auto& element : value) make_utf8(element);
}

std::string to_csv(const std::vector<std::string>& header, const std::vector<nlohmann::ordered_json>& rows) {
    std::ostringstream csv;
    const char* separator = "";
    for (const auto& name : header) {
        csv << separator << name;
        separator = ",";
    }
    csv << '\n';
    for (const auto& row : rows) {
        separator = "";
        for (const auto& name : header) {
            csv << separator;
            separator = ",";
            const auto field = row.find(name);
            if (field == row.end() || field->is_null()) continue;
            if (!field->is_string()) {
                csv << field->dump();
                continue;
            }
            // Quoted, with quotes doubled: a file name may hold commas or quotes.
            const std::string text = field->get<std::string>();
            csv << '"';
            for (char c : text) csv << (c == '"' ? "\"\"" : std::string(1, c));
            csv << '"';
        }
        csv << '\n';
    }
    return csv.str();
}

}  // namespace lab::io

// What every command's document is made of: the run's header, valid UTF-8, a column of names, and
// a list of a study's rows as JSON and as CSV. Each study writes its own report from these; io
// knows no study.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace lab::io {

// What every report says of its run besides its results: the settings, the hashes, the machine,
// the compiler.
struct run_description {
    nlohmann::ordered_json settings, machine;
    std::string compiler;
    std::vector<std::string> hashes;
};

// Every JSON document opens with what made it: the command and the version of this layout (2: the
// first to say them; files without are of version 1, and hashreport reads both), then the run.
nlohmann::ordered_json run_header(const char* command, const run_description& run);
// The width of a column of names: the longest name, at least `least`, so no name shifts the rest.
int name_width(const std::vector<std::string>& names, std::size_t least);
// Every text in a document made valid UTF-8: a byte that is not part of a well-formed sequence
// becomes the four characters \xNN (a key file's name is bytes; JSON holds only Unicode text).
void make_utf8(nlohmann::ordered_json& value);
// Flat JSON objects as CSV under a fixed header: a field a row lacks, or that is null, is empty.
std::string to_csv(const std::vector<std::string>& header, const std::vector<nlohmann::ordered_json>& rows);

// A command's document: its header, then one object per item (its study's to_json) under its last
// field; as UTF-8 text.
template <class Item>
std::string document(nlohmann::ordered_json doc, const char* field, const std::vector<Item>& items) {
    doc[field] = nlohmann::ordered_json::array();
    for (const auto& item : items) doc[field].push_back(to_json(item));
    make_utf8(doc);
    return doc.dump(2) + "\n";
}

// One CSV row per item, under the fields an item's JSON object has, in its order.
template <class Item>
std::string csv_of(const std::vector<Item>& items) {
    std::vector<nlohmann::ordered_json> rows;
    for (const auto& item : items) rows.push_back(to_json(item));
    std::vector<std::string> header;
    const nlohmann::ordered_json every_field = to_json(Item{});
    for (const auto& field : every_field.items()) header.push_back(field.key());
    return to_csv(header, rows);
}

}  // namespace lab::io

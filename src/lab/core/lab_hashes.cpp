#include "core/lab_hashes.h"

#include <dlfcn.h>

#include <algorithm>

#include "core/hash_calls.h"

namespace lab {

namespace {

template <class Call>
void hash_keys(Call call, seeding seeds, const key_set& keys, uint64_t* out) {
    const std::size_t n = keys.size();
    switch (seeds) {
        case seeding::none:
            for (std::size_t i = 0; i < n; ++i) out[i] = call(keys.data(i), keys.length(i), 0);
            break;
        case seeding::index:
            for (std::size_t i = 0; i < n; ++i) out[i] = call(keys.data(i), keys.length(i), i);
            break;
        case seeding::chained: {
            uint64_t previous = 0;
            for (std::size_t i = 0; i < n; ++i) out[i] = previous = call(keys.data(i), keys.length(i), previous);
            break;
        }
    }
}

template <hash_call F>
void hash_all_inline(const lab_hash& h, const key_set& keys, uint64_t* out) { hash_keys(F, h.seeds, keys, out); }

// A runtime hash returns 64 bits, of which its row keeps the low `width`.
void hash_all_through_pointer(const lab_hash& h, const key_set& keys, uint64_t* out) {
    hash_keys(pointer_call{&h}, h.seeds, keys, out);
}

template <std::size_t... I>
std::vector<lab_hash> builtin_rows(std::index_sequence<I...>) {
    return {lab_hash{builtin::rows[I].name, builtin::rows[I].width, builtin::rows[I].call, builtin::rows[I].k.seeds,
                     builtin::rows[I].k.stops_at_nul, builtin::rows[I].k.seed_bits, builtin::rows[I].source,
                     builtin::rows[I].note, builtin::rows[I].known_answer, builtin::rows[I].table_default,
                     hash_all_inline<builtin::rows[I].call>, static_cast<int>(I)}...};
}

}  // namespace

const std::vector<lab_hash>& builtin_hashes() {
    static const std::vector<lab_hash> table = builtin_rows(builtin::every);
    return table;
}

lab_hash runtime_hash(std::string name, int width, hash_call call, std::string source) {
    return {std::move(name), width, call, seeding::none, false, 64, std::move(source), "plugin", 0, true,
            hash_all_through_pointer};
}

lab_hash load_plugin(const std::string& argument) {
    const std::size_t width_colon = argument.rfind(':');
    const std::size_t symbol_colon = width_colon == std::string::npos ? std::string::npos : argument.rfind(':', width_colon - 1);
    if (symbol_colon == std::string::npos || symbol_colon == 0 || width_colon == 0)
        throw bad_input("--plugin " + argument + ": expected PATH:SYMBOL:WIDTH");
    const std::string path = argument.substr(0, symbol_colon);
    const std::string symbol = argument.substr(symbol_colon + 1, width_colon - symbol_colon - 1);
    const std::string width = argument.substr(width_colon + 1);
    if (width != "32" && width != "64") throw bad_input("--plugin " + argument + ": the width must be 32 or 64, not '" + width + "'");
    // dlopen searches the library path for a bare name; a plugin is a file the user points at.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) throw bad_input("--plugin " + argument + ": cannot load " + path + ": " + dlerror());
    void* address = dlsym(library, symbol.c_str());
    if (address == nullptr) throw bad_input("--plugin " + argument + ": no symbol '" + symbol + "' in " + path);
    // The library stays loaded until the process ends: its function is called until then.
    return runtime_hash(symbol, std::stoi(width), reinterpret_cast<hash_call>(address), path);
}

std::vector<lab_hash> select_hashes(const std::vector<std::string>& names, const std::vector<std::string>& plugins) {
    const auto& table = builtin_hashes();
    std::vector<lab_hash> chosen;
    if (names.empty()) chosen = table;
    for (const auto& name : names) {
        const auto found = std::find_if(table.begin(), table.end(), [&](const lab_hash& h) { return h.name == name; });
        if (found == table.end()) throw unknown_name("hash", name, names_of(table));
        chosen.push_back(*found);
    }
    add_plugins(chosen, plugins);
    return chosen;
}

void add_plugins(std::vector<lab_hash>& chosen, const std::vector<std::string>& plugins) {
    for (const auto& argument : plugins) {
        lab_hash plugin = load_plugin(argument);
        // A plugin under a built-in's name would pass for it in every report, chosen or not.
        const auto taken = [&](const std::vector<lab_hash>& rows) {
            return std::any_of(rows.begin(), rows.end(), [&](const lab_hash& h) { return h.name == plugin.name; });
        };
        if (taken(chosen) || taken(builtin_hashes()))
            throw bad_input("--plugin " + argument + ": the name '" + plugin.name + "' is taken");
        chosen.push_back(std::move(plugin));
    }
}

}  // namespace lab

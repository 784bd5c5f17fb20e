// Every table of the cost study around any hash call, one template. Included by the units that
// make the tables (table_lanes.cpp for plugins, lanes_of_one_table.cpp once per kind for the
// built-ins), so each built-in hash is inlined into its tables' hashers.
#pragma once

#include <absl/container/flat_hash_map.h>
#include <boost/unordered/unordered_flat_map.hpp>
#include <sparsehash/dense_hash_map>
#include <tsl/hopscotch_map.h>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_map>

#include "core/hash_calls.h"
#include "tables/tables.h"

namespace lab::tables {

namespace table_runs {

// boost::unordered_flat_map mixes the bits of a hash unless the hasher says it is avalanching.
struct avalanching_mark {
    using is_avalanching = void;
};
struct no_mark {};

// A hasher over the whole key string; text hashes still stop at its first NUL.
template <class Call, bool Avalanching>
struct hasher : std::conditional_t<Avalanching, avalanching_mark, no_mark> {
    Call call;
    std::size_t operator()(const std::string& key) const noexcept {
        return static_cast<std::size_t>(call(key.c_str(), key.size(), 0));
    }
};

using entry = std::pair<const std::string, uint32_t>;
template <class H>
using std_unordered = std::unordered_map<std::string, uint32_t, H, std::equal_to<std::string>, counting_allocator<entry>>;
template <class H>
using boost_flat = boost::unordered_flat_map<std::string, uint32_t, H, std::equal_to<std::string>, counting_allocator<entry>>;
template <class H>
using absl_flat = absl::flat_hash_map<std::string, uint32_t, H, std::equal_to<std::string>, counting_allocator<entry>>;
using ordered = std::map<std::string, uint32_t, std::less<std::string>, counting_allocator<entry>>;
// Power-of-two growth, its default.
template <class H>
using hopscotch = tsl::hopscotch_map<std::string, uint32_t, H, std::equal_to<std::string>,
                                     counting_allocator<std::pair<std::string, uint32_t>>>;
template <class H>
using dense = google::dense_hash_map<std::string, uint32_t, H, std::equal_to<std::string>, counting_allocator<entry>>;

// Adds a key: emplace where the table has it; google::dense_hash_map has only insert.
template <class Table, class = void>
struct has_emplace : std::false_type {};
template <class Table>
struct has_emplace<Table, std::void_t<decltype(std::declval<Table&>().emplace(std::declval<const std::string&>(), 0u))>>
    : std::true_type {};

template <class Table>
void put(Table& table, const std::string& key, uint32_t value) {
    if constexpr (has_emplace<Table>::value) {
        table.emplace(key, value);
    } else {
        table.insert({key, value});
    }
}

// A table driven part by part; the checks of a whole run (sizes, keys found) are the study's.
template <class Table>
class lane_of final : public table_lane {
public:
    template <class Make>
    explicit lane_of(Make make) : table_(make()) {}
    void insert(const std::string* keys, std::size_t first, std::size_t end) override {
        for (std::size_t i = first; i < end; ++i) put(table_, keys[i], static_cast<uint32_t>(i));
    }
    std::size_t find(const std::string* keys, std::size_t first, std::size_t end) const override {
        std::size_t found = 0;
        for (std::size_t i = first; i < end; ++i) found += table_.find(keys[i]) != table_.end();
        return found;
    }
    std::size_t size() const override { return table_.size(); }

private:
    Table table_;
};

// How each table is built around the hasher of `call`, in one place.
template <table_id T, class Call>
auto table_of(Call call) {
    using plain = hasher<Call, false>;
    using marked = hasher<Call, true>;
    if constexpr (T == table_id::std_unordered) {
        return std_unordered<plain>(0, plain{{}, call});
    } else if constexpr (T == table_id::std_map) {
        return ordered();
    } else if constexpr (T == table_id::boost_flat) {
        return boost_flat<plain>(0, plain{{}, call});
    } else if constexpr (T == table_id::boost_flat_avalanching) {
        return boost_flat<marked>(0, marked{{}, call});
    } else if constexpr (T == table_id::absl_flat) {
        return absl_flat<plain>(0, plain{{}, call});
    } else if constexpr (T == table_id::hopscotch) {
        return hopscotch<plain>(0, plain{{}, call});
    } else {
        static_assert(T == table_id::dense, "a table with no construction");
        dense<plain> table(0, plain{{}, call});
        table.set_empty_key(dense_empty_key);  // a key it may never hold; the study checks
        return table;
    }
}

// Calls use(make), where make() returns a new, empty table of the kind named at run time. No
// default case, so the compiler names a table left out.
template <class Call, class Use>
auto with_table(table_id id, Call call, Use use) {
    switch (id) {
        case table_id::std_unordered: return use([&] { return table_of<table_id::std_unordered>(call); });
        case table_id::std_map: return use([&] { return table_of<table_id::std_map>(call); });
        case table_id::boost_flat: return use([&] { return table_of<table_id::boost_flat>(call); });
        case table_id::boost_flat_avalanching: return use([&] { return table_of<table_id::boost_flat_avalanching>(call); });
        case table_id::absl_flat: return use([&] { return table_of<table_id::absl_flat>(call); });
        case table_id::hopscotch: return use([&] { return table_of<table_id::hopscotch>(call); });
        case table_id::dense: return use([&] { return table_of<table_id::dense>(call); });
    }
    throw std::logic_error("no such table");
}

template <class Make>
std::unique_ptr<table_lane> lane_from(Make make) {
    return std::make_unique<lane_of<decltype(make())>>(make);
}

template <class Call>
std::unique_ptr<table_lane> make_lane(table_id table, Call call) {
    return with_table(table, call, [](auto make) { return lane_from(make); });
}

// Every built-in hash's table of one kind, by row of builtin::rows, its call inlined.
template <table_id T, std::size_t... I>
constexpr std::array<lane_maker, sizeof...(I)> builtin_lanes_of(std::index_sequence<I...>) {
    return {{+[]() { return lane_from([] { return table_of<T>(inline_call<builtin::rows[I].call>{}); }); }...}};
}

}  // namespace table_runs

}  // namespace lab::tables

#include "tables/table_lanes.h"

#include "tables/table_runs.h"

namespace lab::tables {

std::unique_ptr<table_lane> new_lane(const lab_hash& hash, table_id table) {
    // std::map never calls its hash; a plugin's is called through its row.
    if (hash.builtin < 0 || table == table_id::std_map) return table_runs::make_lane(table, pointer_call{&hash});
    const auto row = static_cast<std::size_t>(hash.builtin);
    switch (table) {
        case table_id::std_unordered: return builtin_lanes<table_id::std_unordered>()[row]();
        case table_id::std_map: break;
        case table_id::boost_flat: return builtin_lanes<table_id::boost_flat>()[row]();
        case table_id::boost_flat_avalanching: return builtin_lanes<table_id::boost_flat_avalanching>()[row]();
        case table_id::absl_flat: return builtin_lanes<table_id::absl_flat>()[row]();
        case table_id::hopscotch: return builtin_lanes<table_id::hopscotch>()[row]();
        case table_id::dense: return builtin_lanes<table_id::dense>()[row]();
    }
    throw std::logic_error("no such table");
}

}  // namespace lab::tables

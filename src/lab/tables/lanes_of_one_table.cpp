// The built-in hashes in one kind of table, LAB_TABLE (a table_id), which the build sets: one
// unit per kind, compiled side by side.
#include "tables/table_lanes.h"
#include "tables/table_runs.h"

namespace lab::tables {

template <table_id T>
const lane_maker* builtin_lanes() {
    static constexpr auto lanes = table_runs::builtin_lanes_of<T>(builtin::every);
    return lanes.data();
}
template const lane_maker* builtin_lanes<table_id::LAB_TABLE>();

}  // namespace lab::tables

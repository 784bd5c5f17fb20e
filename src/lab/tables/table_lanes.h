// A new table of the cost study: one kind, one hash as its hasher. The built-ins' tables are
// instantiated one kind to a unit (lanes_of_one_table.cpp, compiled once per kind), so that no unit
// holds every table with every hash and the build runs them side by side.
#pragma once

#include <memory>

#include "core/lab_hashes.h"
#include "tables/tables.h"

namespace lab::tables {

std::unique_ptr<table_lane> new_lane(const lab_hash& hash, table_id table);

// The built-in hashes' tables of kind T, by row of builtin::rows.
template <table_id T>
const lane_maker* builtin_lanes();

}  // namespace lab::tables

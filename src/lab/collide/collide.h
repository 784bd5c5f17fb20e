// hashlab collide: full-width collisions of a hash over billions of keys, out of core. The hash
// range is cut into parts; each pass regenerates every key, keeps the values of one part, sorts
// them in place and counts equal neighbours. Under MPI each rank makes a slice of the keys and
// the values go to the rank that owns their part.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "collide/index_keys.h"
#include "core/lab_hashes.h"

namespace lab::collide {

struct collide_pass {
    uint64_t values = 0, collisions = 0;
    double seconds = 0;
};

struct collide_result {
    std::string hash, keys;
    uint64_t count = 0, passes = 0;
    int width = 64, ranks = 1, threads = 1;
    std::vector<collide_pass> done;  // the passes counted, in order
    uint64_t collisions = 0;
    double expected = 0;             // over the passes done: an ideal hash's pairs, N(N-1)/2^(width+1) in all
    double log2_p_more = 0, log2_p_fewer = 0;  // P(X >= collisions), P(X <= collisions), X ~ Poisson(expected)
    bool complete = true;            // false when interrupted: the passes done are an honest sample
    std::string crowded;             // set when one part held far more values than an ideal hash puts there
};

// The ideal hash's expected colliding pairs among n keys at `width` bits.
double ideal_pairs(double n, int width);

// Passes needed so that one part's values fit in `memory_bytes` across `ranks`.
uint64_t passes_for(uint64_t count, double memory_bytes, int ranks);

// Counts the colliding pairs of `count` keys of `keys` under hash h, in `passes` passes. `step`
// hears each pass's progress; `stop` is asked between batches whether to end early.
collide_result collide(const lab_hash& h, const index_keys& keys, uint64_t count, uint64_t passes, uint64_t seed,
                       const std::function<void(const collide_result&, uint64_t pass)>& step,
                       const std::function<bool()>& stop);

// Whether this process runs under mpirun, as one of several ranks; starts MPI if so (once).
bool collide_ranks(int& rank, int& ranks);
void collide_finish();

}  // namespace lab::collide

// What the ranks of a run under mpirun share (see ranks.cpp); one process is rank 0 of 1.
#pragma once

#include <cstdint>
#include <vector>

namespace lab::collide {

// Whether this process runs under mpirun, as one of several ranks; starts MPI if so (once).
bool collide_ranks(int& rank, int& ranks);
// Whether any rank was asked to stop: every rank gets the same answer.
bool any_rank(bool mine);
void collide_finish();

int this_rank();
int rank_count();
// Every rank's numbers summed, on every rank.
void sum_over_ranks(uint64_t* numbers, int n);
// Every rank's numbers, one after the other, on every rank.
std::vector<uint64_t> gathered(std::vector<uint64_t> mine);
// Sends to[d] to rank d; returns what every rank sent here.
std::vector<uint64_t> exchanged(const std::vector<std::vector<uint64_t>>& to);

}  // namespace lab::collide

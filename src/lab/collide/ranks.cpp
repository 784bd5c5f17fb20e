// The ranks of a run under mpirun: sums, gathers and the exchange of values, each nothing to do
// in a single process or a build without MPI.
#include "collide/ranks.h"

#include <cstdlib>

#ifdef HASHLAB_MPI
#include <mpi.h>
#endif

namespace lab::collide {

namespace {
int mpi_rank = 0, mpi_ranks = 1;
[[maybe_unused]] bool mpi_started = false;
}  // namespace

int this_rank() { return mpi_rank; }
int rank_count() { return mpi_ranks; }

void sum_over_ranks(uint64_t* numbers, int n) {
#ifdef HASHLAB_MPI
    if (mpi_ranks > 1) MPI_Allreduce(MPI_IN_PLACE, numbers, n, MPI_UINT64_T, MPI_SUM, MPI_COMM_WORLD);
#else
    (void)numbers;
    (void)n;
#endif
}

std::vector<uint64_t> gathered(std::vector<uint64_t> mine) {
#ifdef HASHLAB_MPI
    if (mpi_ranks > 1) {
        int n = static_cast<int>(mine.size());
        std::vector<int> counts(mpi_ranks), at(mpi_ranks, 0);
        MPI_Allgather(&n, 1, MPI_INT, counts.data(), 1, MPI_INT, MPI_COMM_WORLD);
        for (int r = 1; r < mpi_ranks; ++r) at[r] = at[r - 1] + counts[r - 1];
        std::vector<uint64_t> all(static_cast<std::size_t>(at.back() + counts.back()));
        MPI_Allgatherv(mine.data(), n, MPI_UINT64_T, all.data(), counts.data(), at.data(), MPI_UINT64_T, MPI_COMM_WORLD);
        return all;
    }
#endif
    return mine;
}

std::vector<uint64_t> exchanged(const std::vector<std::vector<uint64_t>>& to) {
#ifdef HASHLAB_MPI
    std::vector<int> send_counts(mpi_ranks), receive_counts(mpi_ranks), send_at(mpi_ranks, 0), receive_at(mpi_ranks, 0);
    std::vector<uint64_t> send;
    for (int d = 0; d < mpi_ranks; ++d) {
        send_at[d] = static_cast<int>(send.size());
        send.insert(send.end(), to[d].begin(), to[d].end());
        send_counts[d] = static_cast<int>(to[d].size());  // a batch's values: far below 2^31
    }
    MPI_Alltoall(send_counts.data(), 1, MPI_INT, receive_counts.data(), 1, MPI_INT, MPI_COMM_WORLD);
    for (int d = 1; d < mpi_ranks; ++d) receive_at[d] = receive_at[d - 1] + receive_counts[d - 1];
    std::vector<uint64_t> received(static_cast<std::size_t>(receive_at.back() + receive_counts.back()));
    MPI_Alltoallv(send.data(), send_counts.data(), send_at.data(), MPI_UINT64_T, received.data(), receive_counts.data(),
                  receive_at.data(), MPI_UINT64_T, MPI_COMM_WORLD);
    return received;
#else
    return to[0];
#endif
}

bool collide_ranks(int& rank, int& ranks) {
#ifdef HASHLAB_MPI
    // Only under a launcher: a plain run of an MPI build stays a plain process.
    if (!mpi_started && (std::getenv("OMPI_COMM_WORLD_SIZE") != nullptr || std::getenv("PMI_SIZE") != nullptr)) {
        MPI_Init(nullptr, nullptr);
        mpi_started = true;
        MPI_Comm_rank(MPI_COMM_WORLD, &mpi_rank);
        MPI_Comm_size(MPI_COMM_WORLD, &mpi_ranks);
    }
#endif
    rank = mpi_rank;
    ranks = mpi_ranks;
    return mpi_ranks > 1;
}

bool any_rank(bool mine) {
    uint64_t n = mine ? 1 : 0;
    sum_over_ranks(&n, 1);
    return n != 0;
}

void collide_finish() {
#ifdef HASHLAB_MPI
    if (mpi_started) MPI_Finalize();
    mpi_started = false;
#endif
}

}  // namespace lab::collide

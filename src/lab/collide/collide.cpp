#include "collide/collide.h"

#include <algorithm>
#include <boost/sort/sort.hpp>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#ifdef HASHLAB_MPI
#include <mpi.h>
#endif

#include "core/bits.h"
#include "core/stats.h"
#include "core/text.h"

namespace lab::collide {

namespace {

// Keys made and hashed between two looks at `stop` (and, under MPI, two exchanges of values).
constexpr uint64_t batch = uint64_t{1} << 22;

int mpi_rank = 0, mpi_ranks = 1;
[[maybe_unused]] bool mpi_started = false;

// Which of `parts` equal parts of the hash range a value falls in: the high word of the value,
// widened to 64 bits, times the number of parts. Equal values always share a part.
uint64_t part_of(uint64_t value, int width, uint64_t parts) {
    return static_cast<uint64_t>((static_cast<uint128>(value << (64 - width)) * parts) >> 64);
}

// Sums over the ranks (nothing to do in a single process).
void sum_over_ranks(uint64_t* numbers, int n) {
#ifdef HASHLAB_MPI
    if (mpi_ranks > 1) MPI_Allreduce(MPI_IN_PLACE, numbers, n, MPI_UINT64_T, MPI_SUM, MPI_COMM_WORLD);
#else
    (void)numbers;
    (void)n;
#endif
}

// The values a batch made, by the rank that owns their part, into `held` on their owner. False
// when they do not fit: the hash crowds one part far beyond an ideal hash's spread.
bool deliver(std::vector<std::vector<std::vector<uint64_t>>>& made, std::vector<uint64_t>& values, uint64_t& held) {
    const auto append = [&](const uint64_t* from, std::size_t n) {
        if (held + n > values.size()) return false;
        std::copy_n(from, n, values.begin() + static_cast<std::ptrdiff_t>(held));
        held += n;
        return true;
    };
    bool fits = true;
    if (mpi_ranks == 1) {
        for (auto& thread : made) fits = append(thread[0].data(), thread[0].size()) && fits;
        return fits;
    }
#ifdef HASHLAB_MPI
    std::vector<int> send_counts(mpi_ranks, 0), receive_counts(mpi_ranks), send_at(mpi_ranks, 0), receive_at(mpi_ranks, 0);
    std::vector<uint64_t> send;
    for (int d = 0; d < mpi_ranks; ++d) {
        send_at[d] = static_cast<int>(send.size());
        for (auto& thread : made) send.insert(send.end(), thread[d].begin(), thread[d].end());
        send_counts[d] = static_cast<int>(send.size()) - send_at[d];  // a batch's values: far below 2^31
    }
    MPI_Alltoall(send_counts.data(), 1, MPI_INT, receive_counts.data(), 1, MPI_INT, MPI_COMM_WORLD);
    int total = 0;
    for (int d = 0; d < mpi_ranks; ++d) {
        receive_at[d] = total;
        total += receive_counts[d];
    }
    std::vector<uint64_t> received(static_cast<std::size_t>(total));
    MPI_Alltoallv(send.data(), send_counts.data(), send_at.data(), MPI_UINT64_T, received.data(), receive_counts.data(),
                  receive_at.data(), MPI_UINT64_T, MPI_COMM_WORLD);
    fits = append(received.data(), received.size());
#endif
    return fits;
}

uint64_t colliding_pairs(const uint64_t* sorted, uint64_t n) {
    uint64_t pairs = 0, run = 1;
    for (uint64_t i = 1; i <= n; ++i) {
        if (i < n && sorted[i] == sorted[i - 1]) {
            ++run;
            continue;
        }
        pairs += run * (run - 1) / 2;
        run = 1;
    }
    return pairs;
}

}  // namespace

double ideal_pairs(double n, int width) { return n * (n - 1) / std::ldexp(2.0, width); }

uint64_t passes_for(uint64_t count, double memory_bytes, int ranks) {
    // A rank holds one part of one pass, with room for an ideal hash's spread around its mean.
    const double per_pass = 0.9 * memory_bytes / 8 * ranks;
    return std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(static_cast<double>(count) / per_pass)));
}

collide_result collide(const lab_hash& h, const index_keys& keys, uint64_t count, uint64_t passes, uint64_t seed,
                       const std::function<void(const collide_result&, uint64_t pass)>& step,
                       const std::function<bool()>& stop) {
    collide_result r;
    r.hash = h.name;
    r.keys = keys.given;
    r.count = count;
    r.passes = passes;
    r.width = h.width;
    r.ranks = mpi_ranks;
    r.threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const uint64_t ranks = static_cast<uint64_t>(mpi_ranks), parts = passes * ranks;
    // This rank's slice of the indices; every rank runs as many batches, so that their exchanges pair up.
    const uint64_t share = count / ranks, extra = count % ranks, rank = static_cast<uint64_t>(mpi_rank);
    const uint64_t lo = rank * share + std::min(rank, extra), hi = lo + share + (rank < extra ? 1 : 0);
    const uint64_t batches = (share + (extra != 0) + batch - 1) / batch;
    const double mean = static_cast<double>(count) / static_cast<double>(parts);
    std::vector<uint64_t> values(static_cast<std::size_t>(mean + 8 * std::sqrt(mean) + 65536));
    const double total_expected = ideal_pairs(static_cast<double>(count), h.width);

    // Each thread's values of a batch, by the rank that owns them: kept across batches, with their room.
    std::vector<std::vector<std::vector<uint64_t>>> made(r.threads, std::vector<std::vector<uint64_t>>(ranks));
    for (uint64_t pass = 0; pass < passes; ++pass) {
        uint64_t halt = stop() ? 1 : 0;
        sum_over_ranks(&halt, 1);
        if (halt != 0) break;
        const auto started = std::chrono::steady_clock::now();
        uint64_t held = 0, crowded = 0, cut_short = 0;
        for (uint64_t b = 0; b < batches; ++b) {
            if (mpi_ranks == 1 && stop()) {
                cut_short = 1;
                break;
            }
            const uint64_t begin = std::min(hi, lo + b * batch), end = std::min(hi, begin + batch);
            for (auto& thread : made)
                for (auto& to_rank : thread) to_rank.clear();
            std::vector<std::thread> workers;
            for (int t = 0; t < r.threads; ++t)
                workers.emplace_back([&, t] {
                    const uint64_t from = begin + (end - begin) * t / r.threads, to = begin + (end - begin) * (t + 1) / r.threads;
                    std::vector<char> buffer(keys.longest() + 1);
                    for (uint64_t i = from; i < to; ++i) {
                        const std::string_view key = keys.key(i, buffer.data());
                        const uint64_t v = h(key.data(), key.size(), seed), part = part_of(v, h.width, parts);
                        if (part / ranks == pass) made[t][part % ranks].push_back(v);
                    }
                });
            for (auto& w : workers) w.join();
            if (!deliver(made, values, held)) crowded = 1;
        }
        if (cut_short) break;
        boost::sort::block_indirect_sort(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(held),
                                         static_cast<uint32_t>(r.threads));
        uint64_t sums[3] = {held, colliding_pairs(values.data(), held), crowded};
        sum_over_ranks(sums, 3);
        if (sums[2] != 0) {
            r.crowded = format("pass %llu: one part held more than %.0f values where an ideal hash puts %.0f: the hash "
                               "gives some values far too often", (unsigned long long)pass + 1,
                               static_cast<double>(values.size()), mean);
            break;
        }
        collide_pass done;
        done.values = sums[0];
        done.collisions = sums[1];
        done.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        r.done.push_back(done);
        r.collisions += done.collisions;
        // Each part holds its share of the pairs an ideal hash makes: passes are independent Poisson counts.
        r.expected = total_expected * static_cast<double>(r.done.size()) / static_cast<double>(passes);
        r.log2_p_more = poisson_tail_log2(static_cast<double>(r.collisions), r.expected);
        r.log2_p_fewer = gamma_q_log2(static_cast<double>(r.collisions) + 1, r.expected);
        step(r, pass);
    }
    r.complete = r.done.size() == passes && r.crowded.empty();
    return r;
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

void collide_finish() {
#ifdef HASHLAB_MPI
    if (mpi_started) MPI_Finalize();
    mpi_started = false;
#endif
}

}  // namespace lab::collide

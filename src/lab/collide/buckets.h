// One pass's buckets: the values of a part, by their top bits, each stored as the bits below its
// bucket's; filled by every core at once, then each bucket sorted and its runs counted in cache.
#pragma once

#include <immintrin.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <hwy/contrib/sort/vqsort.h>
#include <new>
#include <vector>

#include "core/bits.h"
#include "core/parallel.h"

namespace lab::collide {

// Values a bucket holds on average: its sort stays in the core's own cache.
constexpr double bucket_mean_goal = 4096;
constexpr int max_local_bits = 10;
constexpr std::size_t sort_piece = 4096;  // values sorted at once, in the core's own cache
// Records a worker gathers for a bucket before it writes them out: r whole cache lines for r-byte records.
constexpr int flush_records = 64;

// The values of one part, as the hashing loop keeps them: a value u is kept when
// u - low <= extent, one subtraction and one comparison.
struct kept_part {
    uint64_t low = 0, extent = ~uint64_t{0};  // by default every value
    bool keeps(uint64_t u) const { return u - low <= extent; }
};

// ---- the layout of the parts and buckets -------------------------------------------------------

inline int ceil_log2(uint64_t n) {
    int bits = 0;
    while (bits < 63 && (uint64_t{1} << bits) < n) ++bits;
    return bits;
}

// A value's part and bucket are its top bits: bucket b (of 2^bucket_bits) belongs to part
// floor(b * parts / 2^bucket_bits), so every part is a run of buckets and equal values share one.
// A bucket stores of each value only the bits below its own, in record_bytes. Each worker fills
// its own share of every bucket, so that no two cores write one counter or one cache line.
struct layout {
    uint64_t parts = 1, workers = 1;
    int width = 64, bucket_bits = 1, record_bytes = 8;
    uint64_t capacity = 0;  // values a worker's share of a bucket has room for: an ideal hash's mean and six deviations

    layout(uint64_t count, uint64_t parts_, uint64_t workers_, int width_) : parts(parts_), workers(workers_), width(width_) {
        const double per_part = static_cast<double>(count) / static_cast<double>(parts);
        const int local = std::clamp(static_cast<int>(std::floor(std::log2(per_part / bucket_mean_goal))), 1, max_local_bits);
        bucket_bits = std::min(ceil_log2(parts) + local, width - 1);
        record_bytes = (width - bucket_bits + 7) / 8;
        const double mean = std::ldexp(static_cast<double>(count), -bucket_bits) / static_cast<double>(workers);
        capacity = static_cast<uint64_t>(std::ceil(mean + 6 * std::sqrt(mean) + 16));
    }
    uint64_t first_bucket(uint64_t part) const {
        return static_cast<uint64_t>(((static_cast<uint128>(part) << bucket_bits) + parts - 1) / parts);
    }
    uint64_t most_buckets() const { return static_cast<uint64_t>(((uint128{1} << bucket_bits) + parts - 1) / parts); }
    uint64_t part_of(uint64_t bucket) const {
        return static_cast<uint64_t>((static_cast<uint128>(bucket) * parts) >> bucket_bits);
    }
    uint64_t bucket_of(uint64_t u) const { return u >> (64 - bucket_bits); }
    uint64_t record_of(uint64_t u) const { return (u << bucket_bits) >> (64 - 8 * record_bytes); }
    uint64_t value_of(uint64_t bucket, uint64_t record) const {  // left-aligned
        return (bucket << (64 - bucket_bits)) | ((record << (64 - 8 * record_bytes)) >> bucket_bits);
    }
    // 8 bytes past the records (see write_record), rounded to whole cache lines (see part_store::flush)
    uint64_t share_bytes() const { return (capacity * static_cast<uint64_t>(record_bytes) + 8 + 63) / 64 * 64; }
    double bytes() const { return static_cast<double>(most_buckets() * workers) * (static_cast<double>(share_bytes()) + 8); }
};

// The buckets' memory: made once for the run, on huge pages where the kernel has them, as the
// stores land all over it.
class bucket_memory {
public:
    explicit bucket_memory(std::size_t bytes) : size_(bytes + 8) {
        // Mapped with room to start on a huge page's boundary, where the kernel can back it with them.
        const std::size_t huge = std::size_t{1} << 21, pieces = (size_ + huge - 1) / huge;
        mapped_ = pieces * huge + huge;
        void* p = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        map_ = static_cast<unsigned char*>(p);
        data_ = map_ + (huge - reinterpret_cast<std::uintptr_t>(map_) % huge) % huge;
        madvise(data_, pieces * huge, MADV_HUGEPAGE);
        // Faulted in now, on every core: the kernel's zeroing is the costliest part of first
        // touching memory, and one fault at a time from the stores would serialise it.
        on_every_core(workers(), [&](std::size_t w, std::size_t) {
            const std::size_t from = pieces * w / workers() * huge, to = std::min(size_, pieces * (w + 1) / workers() * huge);
            if (from < to) madvise(data_ + from, to - from, 23 /* MADV_POPULATE_WRITE, Linux 5.14 */);
        });
    }
    ~bucket_memory() { munmap(map_, mapped_); }
    bucket_memory(const bucket_memory&) = delete;
    bucket_memory& operator=(const bucket_memory&) = delete;
    unsigned char* data() const { return data_; }

private:
    std::size_t size_, mapped_;
    unsigned char *map_, *data_;
};

// A record is written and read as 8 bytes: each worker fills its share of a bucket in order, so
// the bytes past a record are the next one's, not yet written, or the share's 8 bytes of padding.
inline void write_record(unsigned char* at, uint64_t record) { std::memcpy(at, &record, 8); }
inline uint64_t read_record(const unsigned char* at, uint64_t mask) {
    uint64_t record;
    std::memcpy(&record, at, 8);
    return record & mask;
}

// What a pass's part finds, on one core or all.
struct counted {
    uint64_t values = 0, pairs = 0;
    std::vector<uint64_t> colliding;  // left-aligned values, the smallest `show` at most
    std::array<uint64_t, 32> top_bits{};  // pairs equal in their top 32 + i bits, below the full width
};

// The pairs of a bucket's sorted records equal in full and, at 64 bits, in their top k bits,
// k = 32 .. 63, taken in pieces in order: neighbours sharing a prefix of p bits lengthen the run of
// every width up to p by one and end the others'. Neighbours share about log2(values) bits, so
// at the counts this is for the first few widths above 32 change at almost every step,
// unpredictably: those are updated without a branch, in registers, the rest only when a prefix
// reaches them.
template <int lowest>  // the widest width reported, as an index from 32 bits: the top bits at 64 only
class run_counter {
public:
    run_counter(int record_bytes, int bucket_bits) : shift_(64 - 8 * record_bytes), bucket_bits_(bucket_bits) {}

    // Not vectorised: the compiler would keep the four widths in two vector registers spilled at every step.
    __attribute__((optimize("no-tree-vectorize"))) void add(const uint64_t* v, std::size_t n) {
        if (n == 0) return;
        std::size_t i = 0;
        if (seen_ == 0) last_[0] = v[i++];  // the bucket's first record: nothing before it to share bits with
        // the widths updated at every step, in scalars the compiler keeps in registers
        uint64_t r0 = step_run_[0], r1 = step_run_[1], r2 = step_run_[2], r3 = step_run_[3];
        uint64_t p0 = step_pairs_[0], p1 = step_pairs_[1], p2 = step_pairs_[2], p3 = step_pairs_[3];
        int reach = reach_;
        const int shift = shift_, bucket_bits = bucket_bits_;
        uint64_t last = last_[0], before = last_[1];
        for (; i < n; ++i) {
            const uint64_t differ = (v[i] ^ last) << shift;
            before = last;
            last = v[i];
            const int prefix = differ == 0 ? 64 : std::min(63, bucket_bits + __builtin_clzll(differ));
            const int top = prefix - 32;  // widths 32 .. 32 + top shared
            const auto step = [top](uint64_t& run, uint64_t& pairs, int width) {
                run = (run + 1) & (0 - static_cast<uint64_t>(width <= top));
                pairs += run;
            };
            step(r0, p0, lowest);
            if constexpr (steps == 4) {
                step(r1, p1, lowest + 1);
                step(r2, p2, lowest + 2);
                step(r3, p3, lowest + 3);
            }
            if (top >= every_step || reach >= every_step) {
                for (int k = std::max(top + 1, every_step); k <= reach; ++k) run_[static_cast<std::size_t>(k)] = 0;
                for (int k = every_step; k <= top; ++k) pairs_[static_cast<std::size_t>(k)] += ++run_[static_cast<std::size_t>(k)];
            }
            reach = top;
        }
        step_run_ = {r0, r1, r2, r3};
        step_pairs_ = {p0, p1, p2, p3};
        reach_ = reach;
        last_ = {last, before};
        seen_ = std::min<uint64_t>(2, seen_ + n);
    }
    // use(record) for each record of v, the next piece, that makes the first pair of its run.
    template <class Use>
    void each_first_pair(const uint64_t* v, std::size_t n, Use use) const {
        uint64_t last = last_[0], before = last_[1], seen = seen_;
        for (std::size_t i = 0; i < n; ++i) {
            if (seen >= 1 && v[i] == last && (seen < 2 || last != before)) use(v[i]);
            before = last;
            last = v[i];
            seen = std::min<uint64_t>(2, seen + 1);
        }
    }
    uint64_t equal_pairs() const { return lowest == 32 ? step_pairs_[0] : pairs_[32]; }
    void finish(counted& c) {
        for (int k = 0; k < steps; ++k) pairs_[static_cast<std::size_t>(lowest + k)] = step_pairs_[k];
        c.pairs += pairs_[32];
        if (lowest == 0)
            for (std::size_t k = 0; k < 32; ++k) c.top_bits[k] += pairs_[k];
    }

private:
    static constexpr int every_step = std::min(lowest + 4, 33), steps = every_step - lowest;  // 4 or 1
    int shift_, bucket_bits_;
    std::array<uint64_t, 33> run_{};  // keys so far in the current run at width 32 + i (64: equal), less one
    std::array<uint64_t, 33> pairs_{};
    std::array<uint64_t, 4> step_run_{}, step_pairs_{};  // those widths apart (the first `steps`), in registers in add
    int reach_ = -1;  // the widest width (as an index) whose run is under way
    uint64_t seen_ = 0;  // records so far, up to 2
    std::array<uint64_t, 2> last_{};  // the last two, the last first
};

// One pass's part on this rank: its buckets, filled by every core at once (each worker its own
// share of each), then each sorted and counted. A share that overflows (a hash far from ideal)
// spills whole values aside, up to a budget of an eighth of the buckets' memory (at least 16 MiB);
// past it the part is crowded.
class part_store {
public:
    explicit part_store(const layout& l)
        : l_(l), memory_(static_cast<std::size_t>(l.bytes())), fill_(l.workers, std::vector<uint64_t>(l.most_buckets())),
          lines_(l.workers, std::vector<uint64_t>(flush_records * l.most_buckets())),
          waiting_(l.workers, std::vector<uint32_t>(l.most_buckets())),
          spills_(l.workers), spill_budget_(std::max<uint64_t>(uint64_t{1} << 21, static_cast<uint64_t>(l.bytes() / 64))) {}

    void start(uint64_t part) {
        first_ = l_.first_bucket(part);
        span_ = l_.first_bucket(part + 1) - first_;
        for (auto& f : fill_) std::fill(f.begin(), f.end(), 0);
        for (auto& n : waiting_) std::fill(n.begin(), n.end(), 0);
        for (auto& s : spills_) s.clear();
        spilled_ = 0;
        overflowed_ = false;
    }
    // Stores values of this part (as kept() keeps them). Each worker gathers a bucket's records in
    // a buffer of its own and writes them 64 at a time, packed into whole cache lines, with stores
    // that bypass the cache: the buckets' memory is written once and never read in first, and the
    // cache keeps the buffers and the hashing's data.
    void put(const uint64_t* values, std::size_t n, std::size_t worker) {
        uint64_t* lines = lines_[worker].data();
        uint32_t* waiting = waiting_[worker].data();
        // layout's bucket_of and record_of, with the layout read once: a store to a counter may
        // alias its int fields, which the compiler would otherwise read again for every value.
        const int bucket_bits = l_.bucket_bits, bucket_shift = 64 - bucket_bits, record_shift = 64 - 8 * l_.record_bytes;
        const uint64_t first = first_;
        for (std::size_t j = 0; j < n; ++j) {
            const uint64_t local = (values[j] >> bucket_shift) - first;
            uint64_t* line = lines + local * flush_records;
            uint32_t& k = waiting[local];
            line[k] = (values[j] << bucket_bits) >> record_shift;
            if (++k == flush_records) {
                flush(worker, local, line, flush_records);
                k = 0;
            }
        }
    }
    // The records still waiting in the workers' lines, written out: the pass's storing is over.
    void finish() {
        on_every_core(waiting_.size(), [&](std::size_t worker, std::size_t) {
            for (uint64_t local = 0; local < span_; ++local) {
                flush(worker, local, &lines_[worker][local * flush_records], static_cast<int>(waiting_[worker][local]));
                waiting_[worker][local] = 0;
            }
            _mm_sfence();
        });
    }
    bool overflowed() const { return overflowed_; }
    kept_part kept() const {  // the values of buckets first_ .. first_ + span_ - 1 (span_ >= 1)
        const int below = 64 - l_.bucket_bits;
        return {first_ << below, ((span_ - 1) << below) | low_bits(below)};
    }

    // Sorts every bucket on every core and counts its runs of equal values.
    counted count(std::size_t show) {
        std::vector<uint64_t> spilled;
        for (auto& s : spills_) spilled.insert(spilled.end(), s.begin(), s.end());
        std::sort(spilled.begin(), spilled.end());
        const std::size_t workers = spills_.size();
        std::vector<std::vector<uint64_t>> scratch(workers);
        std::vector<counted> by_worker(workers);
        std::vector<hwy::Sorter> sorters(workers);
        on_every_core(span_, [&](std::size_t local, std::size_t worker) {
            const uint64_t bucket = first_ + local;
            const auto bucket_less = [&](uint64_t u, uint64_t b) { return l_.bucket_of(u) < b; };
            const auto from = std::lower_bound(spilled.begin(), spilled.end(), bucket, bucket_less);
            const auto to = std::lower_bound(from, spilled.end(), bucket + 1, bucket_less);
            // The bucket's records, from every worker's share and the spill. A bucket larger than
            // the core's cache is first placed by its records' top bits (a counting sort), so that
            // the sort proper works on pieces the cache holds.
            const uint64_t mask = low_bits(8 * l_.record_bytes);
            const auto each_record = [&](auto use) {
                for (std::size_t w = 0; w < workers; ++w) {
                    const unsigned char* records = share(w, local);
                    const uint64_t held = std::min(fill_[w][local], l_.capacity);
                    for (uint64_t i = 0; i < held; ++i) use(read_record(records + i * static_cast<uint64_t>(l_.record_bytes), mask));
                }
                for (auto u = from; u != to; ++u) use(l_.record_of(*u));
            };
            std::size_t n = static_cast<std::size_t>(to - from);
            for (std::size_t w = 0; w < workers; ++w) n += static_cast<std::size_t>(std::min(fill_[w][local], l_.capacity));
            const int split_bits = std::min(8, ceil_log2(n / sort_piece + 1));
            const int top_shift = 8 * l_.record_bytes - split_bits;
            std::array<std::size_t, 257> starts{};
            std::vector<uint64_t>& v = scratch[worker];
            v.resize(n);
            if (split_bits == 0) {
                std::size_t at = 0;
                each_record([&](uint64_t x) { v[at++] = x; });
                starts[1] = n;
            } else {
                each_record([&](uint64_t x) { ++starts[(x >> top_shift) + 1]; });
                for (std::size_t d = 1; d <= 256; ++d) starts[d] += starts[d - 1];
                std::array<std::size_t, 256> next;
                std::copy_n(starts.begin(), 256, next.begin());
                each_record([&](uint64_t x) { v[next[x >> top_shift]++] = x; });
            }
            counted& c = by_worker[worker];
            c.values += v.size();
            const auto sort_and_count = [&](auto counter) {
                for (std::size_t d = 0; d < (std::size_t{1} << split_bits); ++d) {
                    uint64_t* piece = v.data() + starts[d];
                    const std::size_t k = starts[d + 1] - starts[d];
                    // Highway asks the kernel for a random seed at every call: small pieces go to std::sort.
                    if (k >= 256) sorters[worker](piece, k, hwy::SortAscending());
                    else std::sort(piece, piece + k);
                    // counted while the piece is in the core's cache, not in a walk over the whole bucket
                    const auto before = counter;
                    counter.add(piece, k);
                    if (show > 0 && counter.equal_pairs() != before.equal_pairs())
                        before.each_first_pair(piece, k, [&](uint64_t x) { keep_smallest(c.colliding, l_.value_of(bucket, x), show); });
                }
                counter.finish(c);
            };
            // only a 64-bit hash's top widths are reported
            if (l_.width == 64) sort_and_count(run_counter<0>(l_.record_bytes, l_.bucket_bits));
            else sort_and_count(run_counter<32>(l_.record_bytes, l_.bucket_bits));
        });
        counted all;
        for (auto& c : by_worker) {
            all.values += c.values;
            all.pairs += c.pairs;
            for (std::size_t k = 0; k < 32; ++k) all.top_bits[k] += c.top_bits[k];
            for (uint64_t u : c.colliding) keep_smallest(all.colliding, u, show);
        }
        return all;
    }

    static void keep_smallest(std::vector<uint64_t>& values, uint64_t u, std::size_t show) {
        values.push_back(u);
        if (values.size() >= 4 * show) {
            std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(show - 1), values.end());
            values.resize(show);
        }
    }

private:
    void flush(std::size_t worker, uint64_t local, const uint64_t* records, int n) {
        const uint64_t at = fill_[worker][local];
        fill_[worker][local] += static_cast<uint64_t>(n);
        const uint64_t bytes = static_cast<uint64_t>(l_.record_bytes);
        unsigned char* to = share(worker, local) + at * bytes;
        if (n == flush_records && at + flush_records <= l_.capacity) {
            // 64 records of r bytes are r whole lines, line-aligned as the share is and `at` a multiple of 64.
            uint64_t packed[flush_records + 1];
            for (int i = 0; i < flush_records; ++i)
                std::memcpy(reinterpret_cast<unsigned char*>(packed) + static_cast<uint64_t>(i) * bytes, &records[i], 8);
            for (uint64_t w = 0; w < 8 * bytes; w += 2)
                _mm_stream_si128(reinterpret_cast<__m128i*>(to) + w / 2, _mm_loadu_si128(reinterpret_cast<const __m128i*>(packed + w)));
            return;
        }
        for (int i = 0; i < n; ++i) {
            if (at + static_cast<uint64_t>(i) < l_.capacity) {
                write_record(to + static_cast<uint64_t>(i) * bytes, records[i]);
            } else if (spilled_.fetch_add(1, std::memory_order_relaxed) < spill_budget_) {
                spills_[worker].push_back(l_.value_of(first_ + local, records[i]));
            } else {
                overflowed_ = true;
            }
        }
    }
    unsigned char* share(std::size_t worker, uint64_t local) const {
        return memory_.data() + (worker * l_.most_buckets() + local) * l_.share_bytes();
    }

    const layout& l_;
    bucket_memory memory_;
    std::vector<std::vector<uint64_t>> fill_;  // per worker, per bucket
    std::vector<std::vector<uint64_t>> lines_;  // per worker, per bucket: records waiting to be written
    std::vector<std::vector<uint32_t>> waiting_;  // per worker, per bucket: how many
    std::vector<std::vector<uint64_t>> spills_;
    const uint64_t spill_budget_;
    std::atomic<uint64_t> spilled_{0};
    std::atomic<bool> overflowed_{false};
    uint64_t first_ = 0, span_ = 0;
};

}  // namespace lab::collide

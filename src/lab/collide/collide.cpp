#include "collide/collide.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "collide/buckets.h"
#include "collide/ranks.h"
#include "core/bits.h"
#include "core/hash_calls.h"
#include "core/keys.h"
#include "core/parallel.h"
#include "core/stats.h"
#include "core/text.h"

namespace lab::collide {

namespace {

constexpr std::size_t run_keys = 1024;             // keys hashed into one array, then stored
constexpr uint64_t mpi_batch = uint64_t{1} << 22;  // keys a rank makes between two exchanges of values

// ---- hashing runs of keys, each built-in's call inlined ----------------------------------------

// Values of keys first .. first + n - 1, left-aligned (a w-bit value in the top w bits), so that
// every width is cut into parts and buckets by the same top bits. Left-aligning drops a narrow
// hash's bits above its width, so no mask is needed.
// Only the values of one part are kept (kept_part): filtering as they are made costs next to
// nothing beside the hash, where a second walk over every value costs about half as much again as
// hashing it.
// Returns how many values it kept, in order, at the start of out.
using run_call = std::size_t (*)(const lab_hash&, const indexed_keys&, uint64_t first, std::size_t n, uint64_t seed,
                                 const kept_part& kept, char* buffer, uint64_t* out);

// A counter key's bytes, bar its index's, stay the same: its length is fixed, and a loop over
// keys of one known length lets the compiler drop the hash's branches on the length.
// Fixed_length, where not 0, is the length as a constant: the compiler folds the hash's branches
// on the length only when the length is one. The key is then copied to the stack, where the
// stores to out cannot reach it, so that its unchanging bytes stay in registers.
template <std::size_t fixed_length, class Call>
__attribute__((flatten)) std::size_t counter_run(Call call, std::size_t length, int shift, uint64_t first, std::size_t n,
                                                 uint64_t seed, const kept_part kept, char* buffer, uint64_t* out) {
    alignas(8) char local[fixed_length + 1];
    char* key = buffer;
    if (fixed_length != 0) {
        length = fixed_length;
        std::memcpy(local, buffer, fixed_length + 1);
        key = local;
    }
    const std::size_t index_bytes = std::min<std::size_t>(8, length);
    std::size_t m = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const uint64_t i = first + j;
        // little-endian, as counter keys hold it; a whole word where the key has one
        if (index_bytes == 8) std::memcpy(key, &i, 8);
        else std::memcpy(key, &i, index_bytes);
        const uint64_t u = call(key, length, seed) << shift;
        out[m] = u;
        m += kept.keeps(u);  // no branch: a pass keeps an unpredictable fraction
    }
    return m;
}

template <class Call>
std::size_t hash_run(Call call, const lab_hash& h, const indexed_keys& keys, uint64_t first, std::size_t n, uint64_t seed,
                     const kept_part& kept, char* buffer, uint64_t* out) {
    const int shift = 64 - h.width;
    if (keys.counter) {
        // The filler stays in the buffer; only the index's bytes change from key to key.
        const std::size_t length = keys.key(first, buffer).size();
        if (length == 16) return counter_run<16>(call, length, shift, first, n, seed, kept, buffer, out);
        return counter_run<0>(call, length, shift, first, n, seed, kept, buffer, out);
    }
    std::size_t m = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const std::string_view key = keys.key(first + j, buffer);
        out[m] = call(key.data(), key.size(), seed) << shift;
        m += kept.keeps(out[m]);
    }
    return m;
}

template <hash_call F>
std::size_t inline_run(const lab_hash& h, const indexed_keys& keys, uint64_t first, std::size_t n, uint64_t seed,
                       const kept_part& kept, char* buffer, uint64_t* out) {
    return hash_run(inline_call<F>{}, h, keys, first, n, seed, kept, buffer, out);
}

std::size_t pointer_run(const lab_hash& h, const indexed_keys& keys, uint64_t first, std::size_t n, uint64_t seed,
                        const kept_part& kept, char* buffer, uint64_t* out) {
    return hash_run(pointer_call{&h}, h, keys, first, n, seed, kept, buffer, out);
}

template <std::size_t... I>
constexpr std::array<run_call, sizeof...(I)> inline_runs(std::index_sequence<I...>) {
    return {{inline_run<builtin::rows[I].call>...}};
}
constexpr auto builtin_runs = inline_runs(builtin::every);

run_call run_of(const lab_hash& h) { return h.builtin >= 0 ? builtin_runs[static_cast<std::size_t>(h.builtin)] : pointer_run; }

// Each worker's buffers for hashing runs of keys.
struct run_buffers {
    std::vector<char> key;  // the longest key and the NUL a text hash stops at
    std::vector<uint64_t> values = std::vector<uint64_t>(run_keys);
    explicit run_buffers(const indexed_keys& keys) : key(keys.longest + 1, '\0') {}
};

// Hashes keys from .. to - 1 on every core, each worker an equal slice of them, a run at a time;
// visit(values, n, first index, worker), the values those `kept` keeps (every one by default: only
// then is value j that of key first + j). The slices are equal so that each worker's share of a
// bucket is known in advance (see part_store). Stops taking keys once `stop` says so, and then
// returns false.
template <class Visit>
bool hash_keys(const lab_hash& h, const indexed_keys& keys, uint64_t from, uint64_t to, uint64_t seed,
               std::vector<run_buffers>& buffers, const std::function<bool()>& stop, Visit visit,
               const kept_part& kept = {}) {
    const run_call run = run_of(h);
    const uint64_t n = to - from, slices = buffers.size();
    std::atomic<bool> stopped{false};
    on_every_core(slices, [&](std::size_t worker, std::size_t) {
        run_buffers& b = buffers[worker];
        const uint64_t end = from + static_cast<uint64_t>(static_cast<uint128>(n) * (worker + 1) / slices);
        uint64_t first = from + static_cast<uint64_t>(static_cast<uint128>(n) * worker / slices);
        for (uint64_t runs = 0; first < end; first += run_keys, ++runs) {
            if (runs % 64 == 0 && (stopped || (stop && stop()))) {
                stopped = true;
                return;
            }
            const std::size_t k = static_cast<std::size_t>(std::min<uint64_t>(run_keys, end - first));
            visit(b.values.data(), run(h, keys, first, k, seed, kept, b.key.data(), b.values.data()), first, worker);
        }
    });
    return !stopped;
}

// The keys of the colliding values `targets` (left-aligned, sorted): one more pass over the keys.
std::vector<collide_pair> name_pairs(const lab_hash& h, const indexed_keys& keys, uint64_t lo, uint64_t hi, uint64_t seed,
                                     std::vector<run_buffers>& buffers, const std::vector<uint64_t>& targets) {
    std::vector<std::vector<uint64_t>> found(buffers.size());  // value, index
    // A value is looked for only where its top 16 bits are a target's, by a table of 2^16 bits that
    // the core's first cache holds: the pass then costs little beyond the hashing, where a search
    // for every value took about four times as long (over 80 s of a 2^34-key run).
    std::vector<uint64_t> tops(1024);
    for (uint64_t t : targets) tops[t >> 54] |= uint64_t{1} << ((t >> 48) & 63);
    hash_keys(h, keys, lo, hi, seed, buffers, nullptr, [&](const uint64_t* values, std::size_t n, uint64_t first, std::size_t worker) {
        for (std::size_t j = 0; j < n; ++j)
            if (((tops[values[j] >> 54] >> ((values[j] >> 48) & 63)) & 1) != 0 &&
                std::binary_search(targets.begin(), targets.end(), values[j])) {
                found[worker].push_back(values[j]);
                found[worker].push_back(first + j);
            }
    });
    std::vector<uint64_t> mine;
    for (auto& f : found) mine.insert(mine.end(), f.begin(), f.end());
    const std::vector<uint64_t> all = gathered(std::move(mine));
    std::vector<std::pair<uint64_t, uint64_t>> matches;
    for (std::size_t i = 0; i + 1 < all.size(); i += 2) matches.emplace_back(all[i], all[i + 1]);
    std::sort(matches.begin(), matches.end());
    std::vector<collide_pair> pairs;
    std::vector<char> buffer(keys.longest + 1, '\0');
    for (std::size_t i = 0, j; i < matches.size(); i = j) {
        for (j = i + 1; j < matches.size() && matches[j].first == matches[i].first; ++j) {
        }
        if (j - i < 2) continue;
        collide_pair p;
        p.value = matches[i].first >> (64 - h.width);
        p.first = matches[i].second;
        p.second = matches[i + 1].second;
        p.sharing = j - i;
        p.first_key = std::string(keys.key(p.first, buffer.data()));
        p.second_key = std::string(keys.key(p.second, buffer.data()));
        pairs.push_back(std::move(p));
    }
    return pairs;
}

// A part holding more of the sample's values than its buckets have room for, scaled to the
// sample (every rank's together): the hash's values are far from uniform. Empty where none does.
std::string crowded_part(const layout& l, uint64_t count, uint64_t sample, const std::vector<std::vector<uint64_t>>& counts) {
    std::vector<uint64_t> totals(l.parts + 1, 0);
    for (const auto& c : counts)
        for (uint64_t p = 0; p < l.parts; ++p) totals[p] += c[p];
    totals[l.parts] = sample;
    sum_over_ranks(totals.data(), static_cast<int>(totals.size()));
    const double share = static_cast<double>(totals[l.parts]) / static_cast<double>(count);
    const double room = static_cast<double>(l.most_buckets() * l.capacity * l.workers) * 1.05 * share;
    const auto most = std::max_element(totals.begin(), totals.end() - 1);
    if (static_cast<double>(*most) <= room) return "";
    return format("part %llu of %llu holds %s of the values of the first %s keys where an ideal hash puts %.0f: the "
                  "hash's values are far from uniform, more than its room", (unsigned long long)(most - totals.begin()) + 1,
                  (unsigned long long)l.parts, with_commas(*most).c_str(), with_commas(totals[l.parts]).c_str(),
                  static_cast<double>(totals[l.parts]) / static_cast<double>(l.parts));
}

}  // namespace

double ideal_pairs(double n, int width) { return n * (n - 1) / std::ldexp(2.0, width); }

uint64_t passes_for(uint64_t count, double memory_bytes, int ranks, int width) {
    const uint64_t r = static_cast<uint64_t>(ranks);
    for (uint64_t passes = 1; passes * r <= max_parts; ++passes)
        if (layout(count, passes * r, workers(), width).bytes() <= 0.9 * memory_bytes) return passes;
    throw bad_input(format("--count %llu: its values do not fit in %s bytes of memory even in %llu parts; give more "
                           "--memory, more ranks or fewer keys", (unsigned long long)count,
                           with_commas(static_cast<uint64_t>(memory_bytes)).c_str(), (unsigned long long)max_parts));
}

namespace {

// A sample of this rank's first keys, hashed on every core with nothing kept, gives the hash's
// rate (seconds a key, returned); hashed again, each value's part counted, it finds a crowded part
// (a hash far from uniform) before any pass. Counting apart keeps its cost out of the rate.
double sample_first_keys(const lab_hash& h, const indexed_keys& keys, uint64_t lo, uint64_t hi, uint64_t seed, const layout& l,
                         std::vector<run_buffers>& buffers, collide_result& r) {
    r.hash_sample = std::min<uint64_t>(hi - lo, uint64_t{1} << 27);
    const auto started = std::chrono::steady_clock::now();
    hash_keys(h, keys, lo, lo + r.hash_sample, seed, buffers, nullptr, [](const uint64_t*, std::size_t, uint64_t, std::size_t) {});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::vector<std::vector<uint64_t>> part_counts(workers(), std::vector<uint64_t>(l.parts));
    hash_keys(h, keys, lo, lo + r.hash_sample, seed, buffers, nullptr,
              [&](const uint64_t* values, std::size_t n, uint64_t, std::size_t worker) {
                  uint64_t* counts = part_counts[worker].data();
                  for (std::size_t j = 0; j < n; ++j) ++counts[l.part_of(l.bucket_of(values[j]))];
              });
    r.crowded = crowded_part(l, r.count, r.hash_sample, part_counts);
    return r.hash_sample > 0 ? seconds / static_cast<double>(r.hash_sample) : 0;
}

// One pass under MPI: this rank hashes its slice [lo, hi) in batches (every rank as many, so that
// their exchanges pair up) and sends each value to the rank whose part it is; the values it
// receives are stored on every core.
void store_from_ranks(const lab_hash& h, const indexed_keys& keys, uint64_t lo, uint64_t hi, uint64_t batches, uint64_t seed,
                      uint64_t pass, const layout& l, std::vector<run_buffers>& buffers, part_store& store) {
    const uint64_t ranks = static_cast<uint64_t>(rank_count());
    for (uint64_t b = 0; b < batches; ++b) {
        const uint64_t begin = std::min(hi, lo + b * mpi_batch), end = std::min(hi, begin + mpi_batch);
        std::vector<std::vector<std::vector<uint64_t>>> to(workers(), std::vector<std::vector<uint64_t>>(ranks));
        hash_keys(h, keys, begin, end, seed, buffers, nullptr,
                  [&](const uint64_t* values, std::size_t n, uint64_t, std::size_t worker) {
                      for (std::size_t j = 0; j < n; ++j) {
                          const uint64_t part = l.part_of(l.bucket_of(values[j]));
                          if (part / ranks == pass) to[worker][part % ranks].push_back(values[j]);
                      }
                  });
        std::vector<std::vector<uint64_t>> by_rank(ranks);
        for (auto& w : to)
            for (uint64_t d = 0; d < ranks; ++d) by_rank[d].insert(by_rank[d].end(), w[d].begin(), w[d].end());
        const std::vector<uint64_t> received = exchanged(by_rank);
        const std::size_t slices = buffers.size();
        on_every_core(slices, [&](std::size_t worker, std::size_t) {
            const std::size_t end_at = received.size() * (worker + 1) / slices;
            const std::size_t begin_at = received.size() * worker / slices;
            store.put(received.data() + begin_at, end_at - begin_at, worker);
        });
    }
}

// A pass's counts, summed over the ranks, added to the run's: its collisions against the share of
// the ideal hash's pairs its part holds (passes are independent Poisson counts), and for a 64-bit
// hash the pairs in its top 32 to 63 bits so far.
void add_pass(collide_result& r, const counted& c, double seconds, std::array<uint64_t, 32>& top_bits) {
    uint64_t sums[34] = {c.values, c.pairs};
    std::copy(c.top_bits.begin(), c.top_bits.end(), sums + 2);
    sum_over_ranks(sums, 34);
    for (std::size_t k = 0; k < 32; ++k) top_bits[k] += sums[2 + k];
    collide_pass done;
    done.values = sums[0];
    done.collisions = sums[1];
    done.seconds = seconds;
    r.done.push_back(done);
    r.collisions += done.collisions;
    const double done_passes = static_cast<double>(r.done.size()), passes = static_cast<double>(r.passes);
    r.expected = ideal_pairs(static_cast<double>(r.count), r.width) * done_passes / passes;
    r.log2_p_more = poisson_tail_log2(static_cast<double>(r.collisions), r.expected);
    r.log2_p_fewer = gamma_q_log2(static_cast<double>(r.collisions) + 1, r.expected);
    if (r.width != 64) return;
    r.top_bits.clear();
    for (int k = 32; k < 64; ++k) {
        collide_width t;
        t.bits = k;
        t.collisions = top_bits[static_cast<std::size_t>(k - 32)];
        t.expected = ideal_pairs(static_cast<double>(r.count), k) * done_passes / passes;
        t.log2_p_more = poisson_tail_log2(static_cast<double>(t.collisions), t.expected);
        r.top_bits.push_back(t);
    }
}

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

collide_result result_of(const lab_hash& h, const indexed_keys& keys, uint64_t count, uint64_t passes) {
    collide_result r;
    r.hash = h.name;
    r.keys = keys.given;
    r.count = count;
    r.passes = passes;
    r.width = h.width;
    r.ranks = rank_count();
    r.threads = static_cast<int>(workers());
    return r;
}

// Why a pass cannot be counted, on any rank: a bucket overflowed (empty when none did).
std::string overflow_of(const part_store& store, const layout& l, uint64_t pass) {
    uint64_t overflowed = store.overflowed() ? 1 : 0;
    sum_over_ranks(&overflowed, 1);
    if (overflowed == 0) return "";
    return format("pass %llu: its buckets overflowed where an ideal hash puts %.0f values in each: the hash gives some "
                  "values far too often", (unsigned long long)pass + 1, static_cast<double>(l.capacity));
}

// The colliding values to name: the smallest `show` over every rank, once each.
std::vector<uint64_t> smallest_of_all_ranks(const std::vector<uint64_t>& colliding, std::size_t show) {
    std::vector<uint64_t> targets = gathered(colliding);
    std::sort(targets.begin(), targets.end());
    targets.erase(std::unique(targets.begin(), targets.end()), targets.end());
    if (targets.size() > show) targets.resize(show);
    return targets;
}

}  // namespace

collide_result collide(const lab_hash& h, const indexed_keys& keys, uint64_t count, uint64_t passes, uint64_t seed,
                       std::size_t show, const collide_hooks& hooks) {
    collide_result r = result_of(h, keys, count, passes);
    const uint64_t ranks = static_cast<uint64_t>(rank_count()), rank = static_cast<uint64_t>(this_rank());
    const layout l(count, passes * ranks, workers(), h.width);
    r.value_bytes = l.record_bytes;
    // This rank's slice of the indices; under MPI every rank runs as many batches, so that their
    // exchanges pair up.
    const uint64_t share = count / ranks, extra = count % ranks;
    const uint64_t lo = rank * share + std::min(rank, extra), hi = lo + share + (rank < extra ? 1 : 0);
    const uint64_t batches = ranks == 1 ? 1 : (share + (extra != 0) + mpi_batch - 1) / mpi_batch;

    const auto say = [&](const std::string& doing) {
        if (hooks.step) hooks.step(doing);
    };
    say(format("%s bytes of buckets", with_commas(static_cast<uint64_t>(l.bytes())).c_str()));
    const auto started = std::chrono::steady_clock::now();
    std::vector<run_buffers> buffers(workers(), run_buffers(keys));
    uint64_t hashing_passes = 0;
    part_store store(l);
    std::vector<uint64_t> colliding;
    std::array<uint64_t, 32> top_bits{};  // over the passes done
    say("hashing a sample");
    const double seconds_a_key = sample_first_keys(h, keys, lo, hi, seed, l, buffers, r);
    for (uint64_t pass = 0; pass < passes && r.crowded.empty(); ++pass) {
        if (any_rank(hooks.stop && hooks.stop())) break;
        say(format("pass %llu of %llu: hashing", (unsigned long long)pass + 1, (unsigned long long)passes));
        const auto pass_started = std::chrono::steady_clock::now();
        ++hashing_passes;
        store.start(pass * ranks + rank);
        if (ranks == 1) {
            const bool whole = hash_keys(h, keys, lo, hi, seed, buffers, hooks.stop,
                                         [&](const uint64_t* values, std::size_t n, uint64_t, std::size_t worker) {
                                             store.put(values, n, worker);
                                         },
                                         store.kept());
            if (!whole) break;
        } else {
            store_from_ranks(h, keys, lo, hi, batches, seed, pass, l, buffers, store);
        }
        store.finish();
        say(format("pass %llu of %llu: sorting and counting", (unsigned long long)pass + 1, (unsigned long long)passes));
        if ((r.crowded = overflow_of(store, l, pass)) != "") break;
        const counted c = store.count(show);
        for (uint64_t u : c.colliding) part_store::keep_smallest(colliding, u, show);
        add_pass(r, c, seconds_since(pass_started), top_bits);
        if (hooks.counted) hooks.counted(r, pass);
    }
    r.complete = r.done.size() == passes && r.crowded.empty();
    uint64_t any_colliding = colliding.empty() ? 0 : 1;
    sum_over_ranks(&any_colliding, 1);
    if (show > 0 && any_colliding != 0 && r.complete) {  // an interrupted run ends without another pass
        say("naming the colliding keys");
        r.pairs = name_pairs(h, keys, lo, hi, seed, buffers, smallest_of_all_ranks(colliding, show));
        ++hashing_passes;
    }
    r.seconds = seconds_since(started);
    r.hash_seconds = seconds_a_key * static_cast<double>(hi - lo) * static_cast<double>(hashing_passes);
    return r;
}

}  // namespace lab::collide

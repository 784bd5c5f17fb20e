#include "core/parallel.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace lab {

namespace {

void run_jobs(std::size_t count, const std::function<void(std::size_t, std::size_t)>& job,
              const std::function<void(std::size_t)>& failed) {
    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;
    std::mutex failure_mutex;
    const auto work = [&](std::size_t worker) {
        for (std::size_t i; (i = next++) < count;) {
            try {
                job(i, worker);
            } catch (...) {
                const std::lock_guard<std::mutex> lock(failure_mutex);
                if (!failure) {
                    failure = std::current_exception();
                    failed(i);
                }
                next = count;
                return;
            }
        }
    };
    const std::size_t threads = std::min(workers(), std::max<std::size_t>(1, count));
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(work, t);
    work(0);
    for (auto& thread : pool) thread.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace

namespace {
// The cores this process may run on (taskset, a container's cpuset), counted once before main: the
// cost study later pins the process to one core, which must not shrink every later study to it.
const std::size_t worker_count = [] {
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) return std::max<std::size_t>(1, CPU_COUNT(&allowed));
    return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}();
}  // namespace

std::size_t workers() { return worker_count; }

void on_every_core(std::size_t count, const std::function<void(std::size_t)>& job,
                   const std::function<void(std::size_t)>& failed) {
    run_jobs(count, [&](std::size_t i, std::size_t) { job(i); }, failed);
}

void on_every_core(std::size_t count, const std::function<void(std::size_t, std::size_t)>& job) {
    run_jobs(count, job, [](std::size_t) {});
}

namespace {
double pages_of(int which) {
    const long pages = sysconf(which), size = sysconf(_SC_PAGESIZE);
    return pages > 0 && size > 0 ? static_cast<double>(pages) * static_cast<double>(size) : 0;
}
}  // namespace

double physical_memory() { return pages_of(_SC_PHYS_PAGES); }
double free_memory() { return pages_of(_SC_AVPHYS_PAGES); }

}  // namespace lab

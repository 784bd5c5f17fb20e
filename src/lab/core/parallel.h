// The lab's one way of using every core: independent jobs, numbered, taken in turn by a thread per
// core.
#pragma once

#include <cstddef>
#include <functional>

namespace lab {

// Runs job(0) .. job(count - 1), each once, on as many threads as there are cores. The first job
// to throw stops the others from taking new work; failed(i) is told its number (under a lock, so
// a message can name it), and the exception is rethrown here once every thread has ended.
void on_every_core(std::size_t count, const std::function<void(std::size_t)>& job,
                   const std::function<void(std::size_t)>& failed);

// The same, each job also told which worker runs it (0 .. workers() - 1), for work that keeps
// a worker's own state between jobs.
void on_every_core(std::size_t count, const std::function<void(std::size_t job, std::size_t worker)>& job);
std::size_t workers();

// The machine's memory in bytes, all of it and what is free now (0 when the system will not say):
// what a study sizes its largest buffers by.
double physical_memory();
double free_memory();

}  // namespace lab

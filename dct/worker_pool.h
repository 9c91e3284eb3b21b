// SPDX-License-Identifier: MIT
// worker_pool.h - threads kept for the engine's passes.
//
// A resize runs four passes per channel, each split into batches; starting
// threads for every pass cost a third of a small image's run and left cores
// idle while they started. The pool's threads are started on first use, as
// many as the largest job has asked for, and sleep between jobs (woken, on
// Linux, on a CPU other than that of the thread offering the job). The
// calling thread works on its own job too. A thread that cannot be started
// (no memory for its stack, a thread limit) is done without, and no more
// are tried: its share goes to the others, with the same result.
//
// One job runs on the pool at a time. A job offered while another runs is
// done on its caller's thread alone: concurrent resizes then each keep a
// thread busy, and the result does not depend on how many threads joined in.
//
// The pool is never destroyed: its threads sleep through the program's exit
// and static destruction, holding nothing.
#pragma once

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace pellimor::detail {

class worker_pool {
 public:
  // The process's pool (a new one in the child of a fork).
  static worker_pool& shared();

  // Calls body(context, worker) once on each of up to `workers` threads,
  // the caller's included, each with a different worker in 0 .. workers-1
  // (the caller is 0), and returns when every call has returned. Fewer
  // threads join in when the pool is busy or cannot start more; body
  // must then still finish the job (it is expected to take its share of the
  // work from a common counter until none is left). body must not throw.
  void run(int workers, void (*body)(void* context, int worker), void* context);

  worker_pool(const worker_pool&) = delete;
  worker_pool& operator=(const worker_pool&) = delete;

 private:
  worker_pool() = default;
  void serve(std::uint64_t seen);
  // Starts threads up to `wanted` (or as many as can be); under lock_.
  void grow(std::size_t wanted);
  // Has the threads woken on CPUs other than the caller's; under lock_.
  void steer_off_callers_cpu();

  std::mutex busy_;  // held by the caller whose job is on the pool
  std::mutex lock_;  // guards everything below
  std::condition_variable wake_, finished_;
  std::vector<std::thread::native_handle_type> handles_;  // one for each thread started
#ifdef __linux__
  bool steered_ = false;  // the threads have been kept off a caller's CPU
  cpu_set_t allowed_{};   // the last such caller's CPUs, which a thread takes back joining
#endif
  bool cannot_grow_ = false;
  // The job on offer: helpers join while joined_ < wanted_ and it is open.
  std::uint64_t generation_ = 0;
  void (*body_)(void*, int) = nullptr;
  void* context_ = nullptr;
  int wanted_ = 0, joined_ = 0, running_ = 0;
  bool open_ = false;
};

// Runs task(item, worker) for items 0 .. count-1 on up to `threads` workers
// of the shared pool, taken from a common counter. The first exception a
// task throws stops every worker after its current item and is rethrown
// here.
template <class Task>
void for_each_item(std::int64_t count, int threads, const Task& task) {
  struct job {
    job(const Task& t, std::int64_t n) : task(t), count(n) {}
    const Task& task;
    const std::int64_t count;
    std::atomic<std::int64_t> next{0};
    std::mutex failure_lock;
    std::exception_ptr failure;
  } shared_job(task, count);
  const auto body = [](void* context, int worker) {
    job& j = *static_cast<job*>(context);
    try {
      for (std::int64_t item; (item = j.next.fetch_add(1)) < j.count;) j.task(item, worker);
    } catch (...) {
      j.next = j.count;
      std::lock_guard<std::mutex> hold(j.failure_lock);
      if (!j.failure) j.failure = std::current_exception();
    }
  };
  const int workers = static_cast<int>(std::min<std::int64_t>(threads, count));
  if (workers > 1)
    worker_pool::shared().run(workers, body, &shared_job);
  else
    body(&shared_job, 0);
  if (shared_job.failure) std::rethrow_exception(shared_job.failure);
}

}  // namespace pellimor::detail

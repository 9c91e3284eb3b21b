// SPDX-License-Identifier: MIT
// worker_pool.cc - the engine's sleeping threads.
#include "dct/worker_pool.h"

#include <pthread.h>
#include <sched.h>

#include <thread>

namespace pellimor::detail {

namespace {

std::atomic<worker_pool*> instance{nullptr};

// A forked child has none of the parent's threads, and the pool's locks may
// have been held by one of them: the child starts a pool of its own (the
// parent's is left alone; it is never freed anyway).
void forget_pool_in_child() { instance.store(nullptr); }

}  // namespace

worker_pool& worker_pool::shared() {
  static const bool registered = pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0;
  static_cast<void>(registered);
  worker_pool* pool = instance.load(std::memory_order_acquire);
  if (pool != nullptr) return *pool;
  // Left to the end of the process on purpose: its threads may still be
  // asleep in it while static objects are destroyed.
  worker_pool* made = new worker_pool;
  if (instance.compare_exchange_strong(pool, made, std::memory_order_acq_rel)) return *made;
  delete made;  // another thread's came first; nothing was started in this one
  return *pool;
}

void worker_pool::grow(std::size_t wanted) {
  while (handles_.size() < wanted && !cannot_grow_) {
    try {
      // A thread joins jobs offered after this one's generation: the job
      // about to be offered included.
      handles_.reserve(handles_.size() + 1);  // so that keeping the new one's handle cannot throw
      std::thread thread(&worker_pool::serve, this, generation_);
      handles_.push_back(thread.native_handle());
      thread.detach();
    } catch (...) {  // std::system_error or std::bad_alloc: go on with those started
      cannot_grow_ = true;
    }
  }
}

// Woken by a caller that is working, a thread is often put on the caller's
// CPU to wait its turn there, and on a virtual machine whose other CPUs sit
// idle (their time given back to the host) it can wait for milliseconds
// before one takes it: the two then share one CPU for much of a small job.
// So the threads are woken kept off the caller's CPU, and go to another at
// once: 720x480 -> 1080x720 from a file took 15.6-16.9 ms in 41-61 runs
// against 22 ms (one run in five as quick), the primes job 57 against 60 ms.
// Joining, each takes back every CPU the caller may use: kept off it for
// good, they left a file job's decoder thread to share one CPU with them
// while the caller's sat idle (4000x3000 PNG -> 2000x1500 0.43 against
// 0.39 s). Where there are many threads, steering each costs two system
// calls a pass, and the scheduler finds idle CPUs for them unaided.
void worker_pool::steer_off_callers_cpu() {
#ifdef __linux__
  constexpr std::size_t most_steered = 15;
  if (handles_.size() > most_steered) return;
  const int cpu = sched_getcpu();
  cpu_set_t callers;
  if (cpu < 0 || sched_getaffinity(0, sizeof callers, &callers) != 0 || !CPU_ISSET(cpu, &callers)) return;
  allowed_ = callers;
  steered_ = true;  // from now on, each thread takes the caller's CPUs back when it joins
  CPU_CLR(cpu, &callers);
  if (CPU_COUNT(&callers) == 0) return;
  for (const std::thread::native_handle_type handle : handles_)
    pthread_setaffinity_np(handle, sizeof callers, &callers);
#endif
}

void worker_pool::serve(std::uint64_t seen) {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    wake_.wait(hold, [&] { return open_ && joined_ < wanted_ && generation_ != seen; });
    seen = generation_;
    const int worker = ++joined_;
    ++running_;
    void (*const body)(void*, int) = body_;
    void* const context = context_;
#ifdef __linux__
    const bool steered = steered_;
    const cpu_set_t allowed = allowed_;
#endif
    hold.unlock();
#ifdef __linux__
    if (steered) pthread_setaffinity_np(pthread_self(), sizeof allowed, &allowed);
#endif
    body(context, worker);
    hold.lock();
    if (--running_ == 0 && !open_) finished_.notify_one();
  }
}

void worker_pool::run(int workers, void (*body)(void*, int), void* context) {
  if (workers <= 1 || !busy_.try_lock()) {
    body(context, 0);
    return;
  }
  std::unique_lock<std::mutex> hold(lock_);
  grow(static_cast<std::size_t>(workers - 1));
  const int helpers =
      static_cast<int>(std::min<std::size_t>(handles_.size(), static_cast<std::size_t>(workers - 1)));
  if (helpers > 0) {
    body_ = body;
    context_ = context;
    wanted_ = helpers;
    joined_ = running_ = 0;
    open_ = true;
    ++generation_;
    steer_off_callers_cpu();
    hold.unlock();
    wake_.notify_all();
  } else {
    hold.unlock();
  }
  body(context, 0);
  if (helpers > 0) {
    // Helpers that have not joined by now find nothing left to do: the job
    // is closed to them, and the caller waits only for those that joined.
    hold.lock();
    open_ = false;
    finished_.wait(hold, [&] { return running_ == 0; });
    hold.unlock();
  }
  busy_.unlock();
}

}  // namespace pellimor::detail

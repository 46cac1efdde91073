#include "pak/entry_pipeline.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/process.h"

namespace radodaro {

namespace {

constexpr uint32_t kMaxWorkers = 256;
// A worker takes up to this many entries at once, while together they cost
// less than kBatchCost.
constexpr uint32_t kBatch = 16;
constexpr uint64_t kBatchCost = uint64_t{256} << 10;

// What the committing thread and the workers share, under `lock`.
class Pipeline {
 public:
  Pipeline(EntryWork& work, uint32_t count, const PipelineLimits& limits)
      : work_(work),
        count_(count),
        limits_(limits),
        slot_cost_(limits.slots, 0),
        ready_(limits.slots, false) {}

  bool run() {
    std::vector<std::thread> threads;
    threads.reserve(limits_.workers);
    for (uint32_t w = 0; w < limits_.workers; ++w) {
      // Without a thread (no memory for its stack, say) the run goes on
      // with those it has: the committing thread prepares whatever nobody
      // took.
      try {
        threads.push_back(platform::start_worker([this, w] { work_loop(w); }));
      } catch (const std::system_error&) {
        break;
      }
    }
    bool ok = true;
    try {
      for (uint32_t i = 0; ok && i < count_; ++i) ok = commit_next(i);
    } catch (...) {
      fail(std::current_exception());
    }
    stop();
    for (std::thread& t : threads) t.join();
    // What went wrong on any thread goes to the caller, once every worker
    // is done, as it does when there is only one thread.
    if (error_) std::rethrow_exception(error_);
    return ok;
  }

 private:
  uint32_t slot_of(uint32_t index) const { return index % limits_.slots; }

  // Whether a worker may take entry `next_` now. Called under the lock.
  bool startable() {
    if (next_ >= count_ || next_ >= committed_ + limits_.slots) return false;
    if (!next_cost_known_) {
      next_cost_ = work_.cost(next_);
      next_cost_known_ = true;
    }
    // One that costs more than the budget waits for its turn.
    return next_cost_ <= limits_.budget && in_flight_ + next_cost_ <= limits_.budget;
  }

  // Takes entry `next_` for the caller. Called under the lock.
  uint32_t take() {
    const uint32_t index = next_++;
    slot_cost_[slot_of(index)] = next_cost_;
    in_flight_ += next_cost_;
    next_cost_known_ = false;
    return index;
  }

  // The entry holds `held` bytes, not what its cost said. Called under the
  // lock.
  void settle(uint32_t index, uint64_t held) {
    uint64_t& cost = slot_cost_[slot_of(index)];
    in_flight_ = in_flight_ - cost + held;
    cost = held;
  }

  // Whether a waiting worker is worth waking: it finds a batch to take, or
  // the last entries. Called under the lock.
  bool worth_waking() {
    if (waiting_workers_ == 0 || !startable()) return false;
    const uint32_t room = committed_ + limits_.slots - next_;
    return room >= kBatch || next_ + room >= count_ || next_cost_ > 0;
  }

  void stop() {
    {
      const std::lock_guard<std::mutex> hold(lock_);
      stopped_ = true;
    }
    to_workers_.notify_all();
  }

  // Keeps the first error and stops the run: no entry is begun or
  // committed after it.
  void fail(std::exception_ptr error) {
    {
      const std::lock_guard<std::mutex> hold(lock_);
      if (!error_) error_ = std::move(error);
      stopped_ = true;
    }
    to_workers_.notify_all();
    to_committer_.notify_all();
  }

  void work_loop(uint32_t worker) {
    try {
      work_loop_unguarded(worker);
    } catch (...) {
      fail(std::current_exception());
    }
  }

  void work_loop_unguarded(uint32_t worker) {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      ++waiting_workers_;
      to_workers_.wait(hold, [&] { return stopped_ || startable(); });
      --waiting_workers_;
      if (stopped_) return;
      // Small entries are taken a few at a time, so that the threads do
      // not wake each other for every one.
      const uint32_t first = take();
      uint32_t end = first + 1;
      uint64_t batch_cost = slot_cost_[slot_of(first)];
      while (end - first < kBatch && batch_cost < kBatchCost && startable()) {
        batch_cost += next_cost_;
        end = take() + 1;
      }
      for (uint32_t index = first; index < end; ++index) {
        hold.unlock();
        const uint64_t held = work_.prepare(index, slot_of(index), worker);
        hold.lock();
        settle(index, held);
        ready_[slot_of(index)] = true;
        if (index == committed_) to_committer_.notify_one();
      }
    }
  }

  bool commit_next(uint32_t index) {
    const uint32_t slot = slot_of(index);
    {
      std::unique_lock<std::mutex> hold(lock_);
      if (next_ == index) {
        // Nobody has taken it: everything before it is committed, so it
        // is alone in flight, whatever it costs. Prepare it here.
        if (!next_cost_known_) next_cost_ = work_.cost(index);
        next_cost_known_ = true;
        take();
        // Workers may take the entries after it meanwhile.
        const bool wake = worth_waking();
        hold.unlock();
        if (wake) to_workers_.notify_all();
        const uint64_t held = work_.prepare(index, slot, limits_.workers);
        hold.lock();
        settle(index, held);
      } else {
        to_committer_.wait(hold, [&] { return ready_[slot] || error_; });
        if (error_) return false;
        ready_[slot] = false;
      }
    }
    const bool ok = work_.commit(index, slot);
    bool wake = false;
    {
      const std::lock_guard<std::mutex> hold(lock_);
      in_flight_ -= slot_cost_[slot];
      committed_ = index + 1;
      wake = worth_waking();
    }
    if (wake) to_workers_.notify_all();
    return ok;
  }

  EntryWork& work_;
  const uint32_t count_;
  const PipelineLimits limits_;

  std::mutex lock_;
  std::condition_variable to_workers_;
  std::condition_variable to_committer_;
  uint32_t next_ = 0;       // the first entry that nobody has taken
  uint32_t committed_ = 0;  // the entries before this one are committed
  uint64_t next_cost_ = 0;
  bool next_cost_known_ = false;
  uint64_t in_flight_ = 0;
  std::vector<uint64_t> slot_cost_;
  std::vector<bool> ready_;
  bool stopped_ = false;
  std::exception_ptr error_;
  uint32_t waiting_workers_ = 0;
};

}  // namespace

PipelineLimits pipeline_limits(uint32_t workers) {
  PipelineLimits limits;
  limits.workers = std::min(workers, kMaxWorkers);
  // Wide enough that workers find work past an entry that takes long (one
  // compressed as small as can be, say); the budget bounds what it holds.
  limits.slots = limits.workers <= 1 ? 1 : 256;
  return limits;
}

uint32_t default_workers() {
  if (const char* jobs = std::getenv("RADODARO_JOBS")) {
    char* end = nullptr;
    const unsigned long n = std::strtoul(jobs, &end, 10);
    if (end != jobs && *end == '\0' && n >= 1 && n <= kMaxWorkers) return static_cast<uint32_t>(n);
  }
  const unsigned cores = std::thread::hardware_concurrency();
  return std::clamp(cores, 1u, kMaxWorkers);
}

bool run_in_order(EntryWork& work, uint32_t count, const PipelineLimits& limits) {
  if (limits.workers <= 1 || count <= 1) {
    for (uint32_t i = 0; i < count; ++i) {
      (void)work.prepare(i, 0, 0);
      if (!work.commit(i, 0)) return false;
    }
    return true;
  }
  Pipeline pipeline(work, count, limits);
  return pipeline.run();
}

}  // namespace radodaro

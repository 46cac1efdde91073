#include "pak/entry_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace radodaro {
namespace {

// Work that records what the pipeline does with it: the order of commits,
// the threads they ran on, the bytes and slots in flight at every moment.
class Recorder final : public EntryWork {
 public:
  Recorder(std::vector<uint64_t> costs, uint32_t slots, int fail_at)
      : costs_(std::move(costs)),
        fail_at_(fail_at),
        slot_owner_(slots, -1),
        finished_(costs_.size(), false) {}

  uint64_t cost(uint32_t index) override {
    ++cost_calls_;
    return costs_[index];
  }

  uint64_t prepare(uint32_t index, uint32_t slot, uint32_t worker) override {
    if (static_cast<int>(index) == throw_in_prepare) throw std::bad_alloc();
    {
      const std::lock_guard<std::mutex> hold(lock_);
      prepared_.push_back(index);
      if (slot_owner_[slot] != -1) slot_clash_ = true;
      slot_owner_[slot] = static_cast<int>(index);
      if (busy_workers_.size() <= worker) busy_workers_.resize(worker + 1, false);
      if (busy_workers_[worker]) worker_clash_ = true;
      busy_workers_[worker] = true;
      in_flight_ += costs_[index];
      ++entries_in_flight_;
      most_in_flight_ = std::max(most_in_flight_, in_flight_);
      // An entry over the budget is alone from its prepare to its commit.
      if (entries_in_flight_ > 1 && in_flight_ > budget) over_budget_ = true;
    }
    // Entries of odd index take longer, so that workers finish out of
    // order.
    if (index % 2 == 1) std::this_thread::sleep_for(std::chrono::microseconds(200));
    const std::lock_guard<std::mutex> hold(lock_);
    busy_workers_[worker] = false;
    finished_[index] = true;
    return costs_[index];
  }

  bool commit(uint32_t index, uint32_t slot) override {
    if (static_cast<int>(index) == throw_in_commit) throw std::bad_alloc();
    const std::lock_guard<std::mutex> hold(lock_);
    if (std::this_thread::get_id() != caller_) wrong_thread_ = true;
    if (!finished_[index]) unprepared_commit_ = true;
    if (slot_owner_[slot] != static_cast<int>(index)) slot_clash_ = true;
    slot_owner_[slot] = -1;
    committed_.push_back(index);
    in_flight_ -= costs_[index];
    --entries_in_flight_;
    return static_cast<int>(index) != fail_at_;
  }

  uint64_t budget = 0;
  int throw_in_prepare = -1, throw_in_commit = -1;
  const std::thread::id caller_ = std::this_thread::get_id();
  std::vector<uint32_t> prepared_, committed_;
  std::atomic<uint32_t> cost_calls_{0};
  bool slot_clash_ = false, worker_clash_ = false, wrong_thread_ = false, over_budget_ = false,
       unprepared_commit_ = false;
  uint64_t most_in_flight_ = 0;

 private:
  std::mutex lock_;
  const std::vector<uint64_t> costs_;
  const int fail_at_;
  std::vector<int> slot_owner_;
  std::vector<bool> busy_workers_;
  std::vector<bool> finished_;
  uint64_t in_flight_ = 0;
  uint32_t entries_in_flight_ = 0;
};

TEST(EntryPipeline, CommitsEveryEntryOnceInOrderOnTheCallingThreadWithinTheBudget) {
  std::vector<uint64_t> mixed;
  for (uint32_t i = 0; i < 300; ++i) mixed.push_back(i % 7 == 0 ? 0 : (i * 37) % 100);
  std::vector<uint64_t> with_giants = mixed;
  with_giants[5] = with_giants[150] = with_giants[299] = 1000;  // each over the budget
  const struct {
    const char* name;
    uint32_t workers;
    uint32_t slots;
    uint64_t budget;
    std::vector<uint64_t> costs;
    int fail_at;  // -1: none
    // Where an exception is thrown (-1: nowhere): it ends the run on any
    // thread, and reaches the caller once every worker is done.
    int throw_in_prepare = -1, throw_in_commit = -1;
  } cases[] = {
      {"one thread", 1, 1, 250, mixed, -1},
      {"two workers", 2, 8, 250, mixed, -1},
      {"four workers, few slots", 4, 3, 250, mixed, -1},
      {"eight workers, wide", 8, 256, 250, mixed, -1},
      {"entries over the budget", 4, 16, 250, with_giants, -1},
      {"budget of one entry", 4, 16, 99, mixed, -1},
      {"a commit fails", 4, 16, 250, mixed, 123},
      {"the first commit fails", 4, 16, 250, mixed, 0},
      {"no entries", 4, 16, 250, {}, -1},
      {"one entry", 4, 16, 250, {5}, -1},
      {"a prepare throws", 4, 16, 250, mixed, -1, 77},
      {"a prepare over the budget throws", 4, 16, 250, with_giants, -1, 150},
      {"a commit throws", 4, 16, 250, mixed, -1, -1, 123},
      {"a commit throws on one thread", 1, 1, 250, mixed, -1, -1, 123},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder work(c.costs, c.slots, c.fail_at);
    work.budget = c.budget;
    PipelineLimits limits;
    limits.workers = c.workers;
    limits.slots = c.slots;
    limits.budget = c.budget;
    work.throw_in_prepare = c.throw_in_prepare;
    work.throw_in_commit = c.throw_in_commit;
    const uint32_t count = static_cast<uint32_t>(c.costs.size());
    const int thrown_at = std::max(c.throw_in_prepare, c.throw_in_commit);
    bool ok = false;
    bool threw = false;
    try {
      ok = run_in_order(work, count, limits);
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    EXPECT_EQ(threw, thrown_at >= 0);
    if (thrown_at < 0) {
      EXPECT_EQ(ok, c.fail_at < 0);
    }
    const uint32_t last = thrown_at >= 0
                              ? std::min<uint32_t>(static_cast<uint32_t>(work.committed_.size()),
                                                   static_cast<uint32_t>(thrown_at))
                          : c.fail_at < 0 ? count
                                          : static_cast<uint32_t>(c.fail_at) + 1;
    std::vector<uint32_t> expected(last);
    for (uint32_t i = 0; i < last; ++i) expected[i] = i;
    EXPECT_EQ(work.committed_, expected);
    // Each committed entry was prepared once; nothing past the failed one
    // was committed, and nothing prepared twice.
    std::vector<int> times(count, 0);
    for (const uint32_t i : work.prepared_) ++times[i];
    for (uint32_t i = 0; i < count; ++i) EXPECT_LE(times[i], 1) << i;
    for (uint32_t i = 0; i < last; ++i) EXPECT_EQ(times[i], 1) << i;
    EXPECT_FALSE(work.slot_clash_);
    EXPECT_FALSE(work.worker_clash_);
    EXPECT_FALSE(work.wrong_thread_);
    EXPECT_FALSE(work.unprepared_commit_);
    EXPECT_FALSE(work.over_budget_) << "most in flight " << work.most_in_flight_;
  }
}

// Entries that wait for the committing thread to let them go: while entry
// 0 is not committed, workers run ahead only as far as the slots and the
// budget allow.
class Gate final : public EntryWork {
 public:
  explicit Gate(uint64_t each) : each_(each) {}
  uint64_t cost(uint32_t) override { return each_; }
  uint64_t prepare(uint32_t index, uint32_t, uint32_t) override {
    const std::lock_guard<std::mutex> hold(lock_);
    highest_ = std::max(highest_, index);
    return each_;
  }
  bool commit(uint32_t index, uint32_t) override {
    if (index == 0) {
      // Time for the workers to take all they may.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const std::lock_guard<std::mutex> hold(lock_);
      ahead_at_first_commit_ = highest_;
    }
    return true;
  }
  uint32_t ahead_at_first_commit_ = 0;

 private:
  const uint64_t each_;
  std::mutex lock_;
  uint32_t highest_ = 0;
};

TEST(EntryPipeline, WorkersRunAheadAsFarAsTheSlotsAndTheBudgetAllow) {
  const struct {
    uint32_t slots;
    uint64_t budget, each;
    uint32_t ahead;  // the highest entry prepared while entry 0 waits
  } cases[] = {
      {8, 1000, 1, 7},    // the slots bound it
      {64, 50, 10, 4},    // the budget does: five entries of ten
      {64, 1000, 0, 63},  // entries that hold nothing: the slots again
  };
  for (const auto& c : cases) {
    Gate work(c.each);
    PipelineLimits limits;
    limits.workers = 3;
    limits.slots = c.slots;
    limits.budget = c.budget;
    EXPECT_TRUE(run_in_order(work, 200, limits));
    EXPECT_EQ(work.ahead_at_first_commit_, c.ahead) << c.slots << " " << c.budget;
  }
}

TEST(EntryPipeline, LimitsForAThreadCount) {
  EXPECT_EQ(pipeline_limits(1).slots, 1u);
  EXPECT_EQ(pipeline_limits(4).workers, 4u);
  EXPECT_GT(pipeline_limits(2).slots, 2u);
  EXPECT_EQ(pipeline_limits(100000).workers, 256u);
}

}  // namespace
}  // namespace radodaro

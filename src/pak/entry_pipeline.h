// The work on a pack's entries, spread over worker threads and committed
// strictly in index order: what a run prints, writes and returns is what
// one thread doing the entries one after another gives.
#ifndef RADODARO_PAK_ENTRY_PIPELINE_H_
#define RADODARO_PAK_ENTRY_PIPELINE_H_

#include <cstdint>

namespace radodaro {

// What one command does with an entry, in two steps. Each entry gets a
// slot, below the pipeline's `slots`, that no other entry in flight has;
// prepare() fills it, commit() takes what it holds.
class EntryWork {
 public:
  virtual ~EntryWork() = default;

  // The bytes of memory that entry `index` will hold from the start of its
  // prepare() to the end of its commit(), as far as the directory tells.
  // Called once per entry, on the committing thread or under the
  // pipeline's lock; must not block.
  virtual uint64_t cost(uint32_t index) = 0;

  // Work that needs nothing from the entries before this one and changes
  // nothing anybody sees: reading, decoding, compressing, checksumming. It
  // names no file and prints nothing. May run on any thread, alongside
  // other entries' prepare() and commit(); `worker` (below the pipeline's
  // `workers` + 1) is the same for no two calls under way at once, so that
  // per-thread scratch memory can be kept by it. Returns the bytes that the
  // entry holds until its commit, in place of cost()'s estimate.
  virtual uint64_t prepare(uint32_t index, uint32_t slot, uint32_t worker) = 0;

  // Everything that others see: names files, prints lines, appends to the
  // pack. Runs on the thread that called run_in_order(), in index order,
  // each entry once its prepare() has returned. False ends the run: no
  // later entry is committed.
  virtual bool commit(uint32_t index, uint32_t slot) = 0;
};

struct PipelineLimits {
  // Worker threads; 1 or less: everything on the calling thread, each
  // entry prepared and committed before the next is begun.
  uint32_t workers = 1;
  // The most that the entries in flight may hold together: no entry is
  // begun while they hold more. An entry that costs more is prepared on the
  // committing thread, alone, at its turn.
  uint64_t budget = uint64_t{16} << 20;
  // The most entries in flight at once.
  uint32_t slots = 64;
};

// The limits for `workers` threads: a window of entries that keeps them
// busy, and the default budget.
PipelineLimits pipeline_limits(uint32_t workers);

// The number of workers to use when the command line names none: the
// RADODARO_JOBS environment variable when it holds a number from 1 to
// 256, else one per core.
uint32_t default_workers();

// Runs `work` over the entries 0 .. count - 1. False when a commit() said
// so; the entries after it were not committed.
bool run_in_order(EntryWork& work, uint32_t count, const PipelineLimits& limits);

}  // namespace radodaro

#endif  // RADODARO_PAK_ENTRY_PIPELINE_H_

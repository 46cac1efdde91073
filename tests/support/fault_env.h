// The real Env with faults on call: the Nth call of the chosen kinds fails
// with a chosen error, once or from then on (a disk that died), as
// leveldb's fault-injection env does it.
#ifndef RADODARO_TESTS_SUPPORT_FAULT_ENV_H_
#define RADODARO_TESTS_SUPPORT_FAULT_ENV_H_

#include <set>
#include <string>
#include <vector>

#include "platform/files.h"

namespace radodaro::testing {

class FaultEnv : public platform::Env {
 public:
  using Error = platform::Error;
  using Handle = platform::Handle;
  enum class Op {
    kWrite,
    kSync,
    kClose,
    kRead,
    kTruncate,
    kRemove,
    kCreate,
    kLink,
    kOpen,
    kRename,
    kAttributes
  };

  // The `nth` call (1: the next) of any of `ops` fails with `error`; with
  // `sticky`, every such call after it fails too. 0 switches faults off.
  void fail(int nth, Error error, std::set<Op> ops, bool sticky = false) {
    countdown_ = nth;
    count_ = 0;
    log_.clear();
    error_ = error;
    ops_ = std::move(ops);
    sticky_ = sticky;
    failing_ = false;
  }
  // How many calls of `ops` a run made, with no faults set, and which, in
  // order.
  int counted() const { return count_; }
  const std::vector<Op>& log() const { return log_; }

  Error write_at(const Handle& f, const uint8_t* d, uint64_t n, uint64_t at) override {
    return hit(Op::kWrite) ? error_ : Env::write_at(f, d, n, at);
  }
  Error copy_range(const Handle& from, uint64_t from_at, const Handle& to, uint64_t to_at,
                   uint64_t n, uint64_t* copied) override {
    *copied = 0;
    return hit(Op::kWrite) ? error_ : Env::copy_range(from, from_at, to, to_at, n, copied);
  }
  Error read_at(const Handle& f, uint8_t* d, uint64_t n, uint64_t at, uint64_t* got) override {
    return hit(Op::kRead) ? error_ : Env::read_at(f, d, n, at, got);
  }
  Error sync(const Handle& f) override { return hit(Op::kSync) ? error_ : Env::sync(f); }
  Error sync_folder(const Handle& f) override {
    return hit(Op::kSync) ? error_ : Env::sync_folder(f);
  }
  Error truncate(const Handle& f, uint64_t n) override {
    return hit(Op::kTruncate) ? error_ : Env::truncate(f, n);
  }
  Error close(Handle* f) override {
    if (!hit(Op::kClose)) return Env::close(f);
    f->reset();
    return error_;
  }
  Error remove(const Handle& folder, const std::string& name) override {
    return hit(Op::kRemove) ? error_ : Env::remove(folder, name);
  }
  Error create_unnamed(const Handle& folder, const std::string& name, Handle* f) override {
    return hit(Op::kCreate) ? error_ : Env::create_unnamed(folder, name, f);
  }
  Error create_new(const Handle& folder, const std::string& name, Handle* f) override {
    return hit(Op::kCreate) ? error_ : Env::create_new(folder, name, f);
  }
  Error link_unnamed(const Handle& folder, const Handle& f, const std::string& name) override {
    return hit(Op::kLink) ? error_ : Env::link_unnamed(folder, f, name);
  }
  Error open_for_read(const Handle& folder, const std::string& name, Handle* f,
                      uint64_t* size) override {
    return hit(Op::kOpen) ? error_ : Env::open_for_read(folder, name, f, size);
  }
  Error replace(const Handle& folder, const std::string& from, const std::string& to,
                Handle* held) override {
    return hit(Op::kRename) ? error_ : Env::replace(folder, from, to, held);
  }
  Error rename_new(const Handle& folder, const std::string& from, const std::string& to) override {
    // Like link_unnamed(), it gives a file its name, never over anything.
    return hit(Op::kLink) ? error_ : Env::rename_new(folder, from, to);
  }
  Error copy_attributes(const Handle& from, const Handle& to) override {
    return hit(Op::kAttributes) ? error_ : Env::copy_attributes(from, to);
  }

 private:
  bool hit(Op op) {
    if (ops_.count(op) == 0) return false;
    ++count_;
    log_.push_back(op);
    if (failing_) return true;
    if (countdown_ == 0 || --countdown_ != 0) return false;
    failing_ = sticky_;
    return true;
  }

  int countdown_ = 0;
  int count_ = 0;
  Error error_ = Error::kIo;
  std::set<Op> ops_;
  std::vector<Op> log_;
  bool sticky_ = false;
  bool failing_ = false;
};

}  // namespace radodaro::testing

#endif  // RADODARO_TESTS_SUPPORT_FAULT_ENV_H_

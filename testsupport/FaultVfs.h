// A SQLite file layer for tests that fails chosen writes and syncs: it wraps
// the default layer and, while it lives, is the default itself, so every
// connection opened meanwhile (the queue's included) goes through it.
#ifndef LUMACOR_TESTSUPPORT_FAULTVFS_H_
#define LUMACOR_TESTSUPPORT_FAULTVFS_H_

#include <memory>

namespace lumacor::testing {

class FaultVfs {
 public:
  // Registers the layer as the default. REQUIRES: no other FaultVfs lives.
  FaultVfs();
  // Gives the default back to the layer it wrapped.
  ~FaultVfs();
  FaultVfs(const FaultVfs&) = delete;
  FaultVfs& operator=(const FaultVfs&) = delete;

  // The `n`th write (1 = the next one) fails with an I/O error, once.
  void FailWrite(int n);
  // The `n`th sync fails with an I/O error, once.
  void FailSync(int n);
  // While full, every write fails with SQLITE_FULL.
  void SetDiskFull(bool full);
  // Disarms every fault.
  void Clear();

  // Counts since construction.
  int writes() const;
  int syncs() const;
  int faults() const;  // calls failed on purpose

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace lumacor::testing

#endif  // LUMACOR_TESTSUPPORT_FAULTVFS_H_

#include "testsupport/FaultVfs.h"

#include <sqlite3.h>

#include <cstring>
#include <stdexcept>

#include "queue/SqliteApi.h"

namespace lumacor::testing {

struct FaultVfs::State {
  sqlite3_vfs vfs{};
  sqlite3_vfs* base = nullptr;
  int write_countdown = 0;  // 0: disarmed
  int sync_countdown = 0;
  bool disk_full = false;
  int writes = 0;
  int syncs = 0;
  int faults = 0;
};

namespace {

FaultVfs::State* g_state = nullptr;

// Our file: the methods below, then the wrapped layer's own file.
struct ShimFile {
  sqlite3_file base;
  sqlite3_file* real;
};

sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<ShimFile*>(f)->real; }

int Close(sqlite3_file* f) {
  sqlite3_file* r = Real(f);
  return r->pMethods != nullptr ? r->pMethods->xClose(r) : SQLITE_OK;
}
int Read(sqlite3_file* f, void* buf, int amt, sqlite3_int64 off) {
  return Real(f)->pMethods->xRead(Real(f), buf, amt, off);
}
int Write(sqlite3_file* f, const void* buf, int amt, sqlite3_int64 off) {
  FaultVfs::State& s = *g_state;
  ++s.writes;
  if (s.disk_full) {
    ++s.faults;
    return SQLITE_FULL;
  }
  if (s.write_countdown > 0 && --s.write_countdown == 0) {
    ++s.faults;
    return SQLITE_IOERR_WRITE;
  }
  return Real(f)->pMethods->xWrite(Real(f), buf, amt, off);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  return Real(f)->pMethods->xTruncate(Real(f), size);
}
int Sync(sqlite3_file* f, int flags) {
  FaultVfs::State& s = *g_state;
  ++s.syncs;
  if (s.sync_countdown > 0 && --s.sync_countdown == 0) {
    ++s.faults;
    return SQLITE_IOERR_FSYNC;
  }
  return Real(f)->pMethods->xSync(Real(f), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
  return Real(f)->pMethods->xFileSize(Real(f), size);
}
int Lock(sqlite3_file* f, int level) { return Real(f)->pMethods->xLock(Real(f), level); }
int Unlock(sqlite3_file* f, int level) { return Real(f)->pMethods->xUnlock(Real(f), level); }
int CheckReservedLock(sqlite3_file* f, int* out) {
  return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
  return Real(f)->pMethods->xFileControl(Real(f), op, arg);
}
int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int DeviceCharacteristics(sqlite3_file* f) {
  return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
}

// Version 1 only: the queue uses a rollback journal, so neither shared
// memory (WAL) nor memory mapping is ever asked for.
const sqlite3_io_methods kMethods = {
    1,
    Close,
    Read,
    Write,
    Truncate,
    Sync,
    FileSize,
    Lock,
    Unlock,
    CheckReservedLock,
    FileControl,
    SectorSize,
    DeviceCharacteristics,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

sqlite3_vfs* Base(sqlite3_vfs* vfs);

int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* f, int flags, int* out_flags) {
  auto* shim = reinterpret_cast<ShimFile*>(f);
  shim->real = reinterpret_cast<sqlite3_file*>(shim + 1);
  shim->base.pMethods = nullptr;
  int rc = Base(vfs)->xOpen(Base(vfs), name, shim->real, flags, out_flags);
  // Without methods SQLite never closes the file: only set them once the
  // wrapped file is open.
  if (rc == SQLITE_OK) shim->base.pMethods = &kMethods;
  return rc;
}

sqlite3_vfs* Base(sqlite3_vfs* vfs) { return static_cast<FaultVfs::State*>(vfs->pAppData)->base; }

int Delete(sqlite3_vfs* vfs, const char* name, int sync) {
  return Base(vfs)->xDelete(Base(vfs), name, sync);
}
int Access(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
  return Base(vfs)->xAccess(Base(vfs), name, flags, out);
}
int FullPathname(sqlite3_vfs* vfs, const char* name, int size, char* out) {
  return Base(vfs)->xFullPathname(Base(vfs), name, size, out);
}
int Randomness(sqlite3_vfs* vfs, int n, char* out) {
  return Base(vfs)->xRandomness(Base(vfs), n, out);
}
int Sleep(sqlite3_vfs* vfs, int micros) { return Base(vfs)->xSleep(Base(vfs), micros); }
int CurrentTime(sqlite3_vfs* vfs, double* out) { return Base(vfs)->xCurrentTime(Base(vfs), out); }
int GetLastError(sqlite3_vfs* vfs, int n, char* out) {
  return Base(vfs)->xGetLastError(Base(vfs), n, out);
}

}  // namespace

FaultVfs::FaultVfs() : state_(std::make_unique<State>()) {
  if (g_state != nullptr) throw std::logic_error("FaultVfs ja registrado");
  const TSqliteApi& api = SqliteApi();
  State& s = *state_;
  s.base = api.vfs_find(nullptr);
  if (s.base == nullptr) throw std::runtime_error("SQLite sem camada de arquivos padrao");
  s.vfs.iVersion = 1;
  s.vfs.szOsFile = static_cast<int>(sizeof(ShimFile)) + s.base->szOsFile;
  s.vfs.mxPathname = s.base->mxPathname;
  s.vfs.zName = "lumacor-falhas";
  s.vfs.pAppData = &s;
  s.vfs.xOpen = Open;
  s.vfs.xDelete = Delete;
  s.vfs.xAccess = Access;
  s.vfs.xFullPathname = FullPathname;
  s.vfs.xRandomness = Randomness;
  s.vfs.xSleep = Sleep;
  s.vfs.xCurrentTime = CurrentTime;
  s.vfs.xGetLastError = GetLastError;
  // No extension loading (xDlOpen and the rest): the queue never asks.
  g_state = &s;
  if (api.vfs_register(&s.vfs, 1) != SQLITE_OK) {
    g_state = nullptr;
    throw std::runtime_error("sqlite3_vfs_register falhou");
  }
}

FaultVfs::~FaultVfs() {
  const TSqliteApi& api = SqliteApi();
  api.vfs_unregister(&state_->vfs);
  // Unregistering the default makes the first remaining layer the default;
  // make sure it is the one wrapped.
  api.vfs_register(state_->base, 1);
  g_state = nullptr;
}

void FaultVfs::FailWrite(int n) { state_->write_countdown = n; }
void FaultVfs::FailSync(int n) { state_->sync_countdown = n; }
void FaultVfs::SetDiskFull(bool full) { state_->disk_full = full; }
void FaultVfs::Clear() {
  state_->write_countdown = 0;
  state_->sync_countdown = 0;
  state_->disk_full = false;
}
int FaultVfs::writes() const { return state_->writes; }
int FaultVfs::syncs() const { return state_->syncs; }
int FaultVfs::faults() const { return state_->faults; }

}  // namespace lumacor::testing

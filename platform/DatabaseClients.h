// Where each ERP database client is found on this platform, and the stop
// signals that loading one must leave as they were.
#ifndef LUMACOR_PLATFORM_DATABASECLIENTS_H_
#define LUMACOR_PLATFORM_DATABASECLIENTS_H_

#include <memory>
#include <string>
#include <vector>

namespace lumacor {

enum class DatabaseClient { kFirebird, kMySQL, kPostgreSQL, kOdbc };

// The client's usual library names on this platform, the most likely
// first. Bare names: DynamicLibrary::Open applies the safe search rules.
std::vector<std::string> UsualClientLibraryNames(DatabaseClient client);

// Saves the process's stop-signal handling and puts it back when
// destroyed. Client libraries take it over on first use (libfbclient sets
// its own SIGINT and SIGTERM handlers at the first attach), which would
// leave a console run that Ctrl+C or kill no longer ends. Nothing to keep
// where the platform has no such signals.
class StopSignalsKeeper {
 public:
  StopSignalsKeeper();
  ~StopSignalsKeeper();
  StopSignalsKeeper(const StopSignalsKeeper&) = delete;
  StopSignalsKeeper& operator=(const StopSignalsKeeper&) = delete;

 private:
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

}  // namespace lumacor

#endif  // LUMACOR_PLATFORM_DATABASECLIENTS_H_

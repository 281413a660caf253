// Run-time loading of shared libraries (database clients, sqlite3.dll on
// Windows). Every load goes through here so the search rules are the
// platform's safest.
#ifndef LUMACOR_PLATFORM_DYNAMICLIBRARY_H_
#define LUMACOR_PLATFORM_DYNAMICLIBRARY_H_

#include <string>
#include <vector>

namespace lumacor {

// Owns one loaded library; unloads it when destroyed.
class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Loads `name_or_path`: a path is used as given, a bare name goes
  // through the system's library search. Raises PlatformError whose
  // message names the library and the system's reason.
  static DynamicLibrary Open(const std::string& name_or_path);

  // Tries each name in turn; raises the last error when none loads.
  static DynamicLibrary OpenFirst(const std::vector<std::string>& names);

  // Address of `symbol`, or nullptr when the library lacks it.
  void* Find(const char* symbol) const;
  // Like Find, but raises PlatformError naming the symbol.
  void* Require(const char* symbol) const;

  bool loaded() const { return handle_ != nullptr; }
  const std::string& name() const { return name_; }

 private:
  // The platform halves: load, look up, unload.
  static DynamicLibrary Adopt(void* handle, const std::string& name);
  static void Unload(void* handle);

  void* handle_ = nullptr;
  std::string name_;
};

}  // namespace lumacor

#endif  // LUMACOR_PLATFORM_DYNAMICLIBRARY_H_

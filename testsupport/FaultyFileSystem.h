// A file system for tests that passes every call to another one but fails
// a chosen read or listing, the way a disk or a network share fails.
#ifndef LUMACOR_TESTSUPPORT_FAULTYFILESYSTEM_H_
#define LUMACOR_TESTSUPPORT_FAULTYFILESYSTEM_H_

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

namespace lumacor::testing {

class FaultyFileSystem : public FileSystem {
 public:
  // `real` is not owned and must outlive this one.
  explicit FaultyFileSystem(FileSystem* real = FileSystem::Default()) : real_(real) {}

  // The `n`th ReadFile (1 = the next one) raises PlatformError, once.
  void FailRead(int n) { read_countdown_ = n; }
  // The `n`th ListDirectory raises PlatformError, once.
  void FailList(int n) { list_countdown_ = n; }
  int reads() const { return reads_; }
  // ReadFile calls for one path.
  int ReadsOf(const std::string& path) const {
    auto it = reads_of_.find(path);
    return it == reads_of_.end() ? 0 : it->second;
  }
  // Called after each successful ReadFile, with the path (a test may
  // change the file there, as another program would).
  std::function<void(const std::string&)> after_read;
  // The same after each Stat.
  std::function<void(const std::string&)> after_stat;
  int lists() const { return lists_; }
  int faults() const { return faults_; }
  // Message of the injected errors.
  static constexpr const char* kMessage = "falha de E/S simulada";

  bool FileExists(const std::string& path) override { return real_->FileExists(path); }
  bool DirectoryExists(const std::string& path) override { return real_->DirectoryExists(path); }
  bool Stat(const std::string& path, FileInfo* info) override {
    bool found = real_->Stat(path, info);
    if (after_stat) after_stat(path);
    return found;
  }
  void CreateDirectories(const std::string& path) override { real_->CreateDirectories(path); }
  std::vector<DirEntry> ListDirectory(const std::string& path) override {
    ++lists_;
    if (list_countdown_ > 0 && --list_countdown_ == 0) Fail("listar " + path);
    return real_->ListDirectory(path);
  }
  // Through this wrapper's ListDirectory and Stat, so that their faults
  // and hooks apply to a scan too.
  std::vector<DirEntryInfo> ListDirectoryWithInfo(const std::string& path) override {
    return FileSystem::ListDirectoryWithInfo(path);
  }
  std::string ReadFile(const std::string& path) override {
    ++reads_;
    ++reads_of_[path];
    if (read_countdown_ > 0 && --read_countdown_ == 0) Fail("ler " + path);
    std::string bytes = real_->ReadFile(path);
    if (after_read) after_read(path);
    return bytes;
  }
  std::unique_ptr<AppendFile> OpenAppend(const std::string& path) override {
    return real_->OpenAppend(path);
  }
  void CreatePrivateFile(const std::string& path) override { real_->CreatePrivateFile(path); }
  void WriteFileReplace(const std::string& path, const std::string& bytes) override {
    real_->WriteFileReplace(path, bytes);
  }
  void RenameNoReplace(const std::string& from, const std::string& to) override {
    real_->RenameNoReplace(from, to);
  }
  void DeleteFile(const std::string& path) override { real_->DeleteFile(path); }
  std::string FullPath(const std::string& path) override { return real_->FullPath(path); }
  size_t MaxPath() const override { return real_->MaxPath(); }
  char Separator() const override { return real_->Separator(); }

 private:
  [[noreturn]] void Fail(const std::string& what) {
    ++faults_;
    throw PlatformError(std::string(kMessage) + " ao " + what);
  }

  FileSystem* real_;
  int read_countdown_ = 0;
  int list_countdown_ = 0;
  int reads_ = 0;
  std::map<std::string, int> reads_of_;
  int lists_ = 0;
  int faults_ = 0;
};

}  // namespace lumacor::testing

#endif  // LUMACOR_TESTSUPPORT_FAULTYFILESYSTEM_H_

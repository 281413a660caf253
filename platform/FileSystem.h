// File-system facility. Logic reaches files only through this interface, so
// tests can substitute it and the Windows half can supply its own rules
// (share modes, MoveFileW, FindFirstFileW).
#ifndef LUMACOR_PLATFORM_FILESYSTEM_H_
#define LUMACOR_PLATFORM_FILESYSTEM_H_

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumacor {

// An OS call failed; the message names the operation, the path and the
// system's own reason.
class PlatformError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct DirEntry {
  std::string name;           // name only, no folder
  bool is_directory = false;  // a link to a folder counts as a folder
};

struct FileInfo {
  bool is_directory = false;
  int64_t size = 0;
  int64_t mtime_seconds = 0;  // last write, seconds since the Unix epoch (UTC)
  int64_t mtime_nanos = 0;    // sub-second part, where the OS has one
  // Last change of the content or of the metadata (POSIX st_ctime, NTFS
  // ChangeTime): a tool that restores a file's mtime cannot restore this.
  // 0 where the platform has none.
  int64_t ctime_seconds = 0;
  int64_t ctime_nanos = 0;
  // Device and inode (on Windows the volume serial and the file index)
  // identify a file or a folder, whatever the path it is reached by.
  uint64_t device = 0;
  uint64_t inode = 0;
};

// A folder entry with its metadata; `found` false where nothing was found
// (gone meanwhile) or for a folder, which is not looked at.
struct DirEntryInfo {
  DirEntry entry;
  bool found = false;
  FileInfo info;
};

// A file open for appending one record; closed when destroyed.
class AppendFile {
 public:
  virtual ~AppendFile() = default;
  // Current end of file, where the next Append writes.
  virtual int64_t Position() = 0;
  virtual void Append(const std::string& bytes) = 0;  // raises PlatformError
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The process-wide real file system. Never deleted.
  static FileSystem* Default();

  // True when a file (not a folder) exists at `path`.
  virtual bool FileExists(const std::string& path) = 0;
  // True when a folder exists at `path`; links to folders count.
  virtual bool DirectoryExists(const std::string& path) = 0;
  // Fills `info` following links; false when nothing is there.
  virtual bool Stat(const std::string& path, FileInfo* info) = 0;

  // Creates `path` and its missing parents. On Windows the folders it makes
  // get the rights of CreatePrivateFile, which the files made inside them
  // inherit (SQLite's journal among them). Raises PlatformError.
  virtual void CreateDirectories(const std::string& path) = 0;

  // Entries of one folder in the order the OS returns them, without "." and
  // "..". Raises PlatformError when the folder cannot be listed.
  virtual std::vector<DirEntry> ListDirectory(const std::string& path) = 0;

  // The same entries, each file (not folder) with what Stat gives for it.
  // Cheaper than a Stat per path where the OS allows (no walk of the whole
  // path per file), since a scan looks at every file of large folders.
  virtual std::vector<DirEntryInfo> ListDirectoryWithInfo(const std::string& path);

  // Reads a whole file. Fails (PlatformError) when it cannot be opened or
  // read, and when its size or last-write time changed during the read:
  // a file still being written must be left for the next pass.
  virtual std::string ReadFile(const std::string& path) = 0;

  // Opens `path` for appending, creating it as CreatePrivateFile does when
  // missing. Other readers are allowed. Raises PlatformError.
  virtual std::unique_ptr<AppendFile> OpenAppend(const std::string& path) = 0;

  // Creates an empty file at `path` that only its owner and group can read
  // (0640 on POSIX; SYSTEM, Administrators and the owner on Windows),
  // whatever the umask or the folder's inherited rights. An existing file
  // is left as it is. The log and the queue hold customers' fiscal data.
  // Raises PlatformError.
  virtual void CreatePrivateFile(const std::string& path) = 0;

  // Replaces the whole content of `path` with `bytes`: written to
  // `path` + ".tmp", flushed, then renamed over `path` (MoveFileEx with
  // replace on Windows), so a reader finds the old file or the new one,
  // never a part. A new file gets the rights of CreatePrivateFile. Raises
  // PlatformError; the old file is then left as it was.
  virtual void WriteFileReplace(const std::string& path, const std::string& bytes) = 0;

  // Renames `from` to `to`, never replacing an existing `to`.
  virtual void RenameNoReplace(const std::string& from, const std::string& to) = 0;

  virtual void DeleteFile(const std::string& path) = 0;

  // Absolute form of `path`: joined with the current folder when relative,
  // "." and ".." segments resolved without touching the disk.
  virtual std::string FullPath(const std::string& path) = 0;

  // Longest path the platform accepts (260 on Windows, PATH_MAX on POSIX).
  virtual size_t MaxPath() const = 0;

  // The separator the platform writes between folder and name.
  virtual char Separator() const = 0;
};

}  // namespace lumacor

#endif  // LUMACOR_PLATFORM_FILESYSTEM_H_

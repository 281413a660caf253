#include <algorithm>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/win32/WinApi.h"

#include <sddl.h>

namespace lumacor {

namespace {

using win32::Error;
using win32::Narrow;
using win32::UniqueHandle;
using win32::Widen;

// 100-ns ticks between 1601-01-01 (FILETIME) and 1970-01-01 (Unix).
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;

// Seconds and nanoseconds since the Unix epoch of a count of FILETIME ticks.
void SplitTicks(int64_t filetime_ticks, int64_t* seconds, int64_t* nanos) {
  int64_t ticks = filetime_ticks - kUnixEpochTicks;
  int64_t secs = ticks / 10000000;
  int64_t rest = ticks % 10000000;
  if (rest < 0) {
    rest += 10000000;
    secs -= 1;
  }
  *seconds = secs;
  *nanos = rest * 100;
}

void FillTime(const FILETIME& ft, FileInfo* info) {
  SplitTicks(
      static_cast<int64_t>(static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime),
      &info->mtime_seconds, &info->mtime_nanos);
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Folders that exist by definition and cannot be created: "", "\", "C:",
// "\\server" and "\\server\share".
bool IsRoot(const std::wstring& p) {
  if (p.empty() || (p.size() == 1 && IsSeparator(p[0]))) return true;
  if (p.size() == 2 && p[1] == L':') return true;
  if (p.size() > 2 && IsSeparator(p[0]) && IsSeparator(p[1])) {
    size_t server_end = p.find_first_of(L"\\/", 2);
    return server_end == std::wstring::npos ||
           p.find_first_of(L"\\/", server_end + 1) == std::wstring::npos;
  }
  return false;
}

// Rights that keep other local users out of what the agent writes: full
// control for SYSTEM, Administrators and the object's owner, nothing
// inherited from the parent (ProgramData lets every user read). Folders
// pass them on to the files made inside, SQLite's journal included.
constexpr const wchar_t* kPrivateFileSddl = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;OW)";
constexpr const wchar_t* kPrivateFolderSddl =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;OW)";

// A security descriptor built from SDDL, freed when destroyed.
class PrivateSecurity {
 public:
  explicit PrivateSecurity(const wchar_t* sddl) {
    attrs_.nLength = sizeof(attrs_);
    attrs_.bInheritHandle = FALSE;
    attrs_.lpSecurityDescriptor = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd,
                                                               nullptr)) {
      attrs_.lpSecurityDescriptor = sd;
    }
  }
  ~PrivateSecurity() {
    if (attrs_.lpSecurityDescriptor != nullptr) ::LocalFree(attrs_.lpSecurityDescriptor);
  }
  PrivateSecurity(const PrivateSecurity&) = delete;
  PrivateSecurity& operator=(const PrivateSecurity&) = delete;

  // Null when the descriptor could not be built: the object then gets the
  // inherited rights, as it would without us.
  SECURITY_ATTRIBUTES* get() { return attrs_.lpSecurityDescriptor != nullptr ? &attrs_ : nullptr; }

 private:
  SECURITY_ATTRIBUTES attrs_;
};

class WinAppendFile : public AppendFile {
 public:
  WinAppendFile(UniqueHandle h, std::string path) : h_(std::move(h)), path_(std::move(path)) {}

  int64_t Position() override {
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(h_.get(), &size)) throw Error("GetFileSizeEx", path_, ::GetLastError());
    return size.QuadPart;
  }

  void Append(const std::string& bytes) override {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
      DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
      DWORD written = 0;
      if (!::WriteFile(h_.get(), p, chunk, &written, nullptr)) {
        throw Error("WriteFile", path_, ::GetLastError());
      }
      p += written;
      left -= written;
    }
  }

 private:
  UniqueHandle h_;
  std::string path_;
};

// Closes a FindFirstFileW search on every exit path.
class FindHandle {
 public:
  explicit FindHandle(HANDLE h) : h_(h) {}
  ~FindHandle() {
    if (h_ != INVALID_HANDLE_VALUE) ::FindClose(h_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

class WinFileSystem : public FileSystem {
 public:
  bool FileExists(const std::string& path) override {
    DWORD attr = ::GetFileAttributesW(Widen(path).c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  bool DirectoryExists(const std::string& path) override {
    DWORD attr = ::GetFileAttributesW(Widen(path).c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  bool Stat(const std::string& path, FileInfo* info) override {
    std::wstring wpath = Widen(path);
    // Opening for attributes only follows links and conflicts with no share
    // mode, so it works on files other programs hold open.
    UniqueHandle h(::CreateFileW(wpath.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION bh;
    if (h.valid() && ::GetFileInformationByHandle(h.get(), &bh)) {
      info->is_directory = (bh.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      info->size =
          static_cast<int64_t>(static_cast<uint64_t>(bh.nFileSizeHigh) << 32 | bh.nFileSizeLow);
      FillTime(bh.ftLastWriteTime, info);
      info->device = bh.dwVolumeSerialNumber;
      info->inode = static_cast<uint64_t>(bh.nFileIndexHigh) << 32 | bh.nFileIndexLow;
      // The change time, which also moves when a tool puts the last-write
      // time back; file systems without one (FAT) leave it 0.
      info->ctime_seconds = 0;
      info->ctime_nanos = 0;
      FILE_BASIC_INFO basic;
      if (::GetFileInformationByHandleEx(h.get(), FileBasicInfo, &basic, sizeof basic) &&
          basic.ChangeTime.QuadPart != 0) {
        SplitTicks(basic.ChangeTime.QuadPart, &info->ctime_seconds, &info->ctime_nanos);
      }
      return true;
    }
    WIN32_FILE_ATTRIBUTE_DATA ad;
    if (!::GetFileAttributesExW(wpath.c_str(), GetFileExInfoStandard, &ad)) return false;
    info->is_directory = (ad.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info->size =
        static_cast<int64_t>(static_cast<uint64_t>(ad.nFileSizeHigh) << 32 | ad.nFileSizeLow);
    FillTime(ad.ftLastWriteTime, info);
    info->ctime_seconds = 0;
    info->ctime_nanos = 0;
    info->device = 0;
    info->inode = 0;
    return true;
  }

  void CreateDirectories(const std::string& path) override {
    if (path.empty()) throw PlatformError("CreateDirectory: caminho vazio");
    std::wstring wpath = Widen(path);
    while (wpath.size() > 1 && IsSeparator(wpath.back())) wpath.pop_back();
    CreateDirectoriesW(wpath, path);
  }

  std::vector<DirEntry> ListDirectory(const std::string& path) override {
    std::wstring pattern = Widen(path);
    if (!pattern.empty() && !IsSeparator(pattern.back())) pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW fd;
    FindHandle find(::FindFirstFileW(pattern.c_str(), &fd));
    std::vector<DirEntry> out;
    if (find.get() == INVALID_HANDLE_VALUE) {
      DWORD err = ::GetLastError();
      // A drive root has no "." entry, so an empty one finds nothing.
      if (err == ERROR_FILE_NOT_FOUND && DirectoryExists(path)) return out;
      throw Error("FindFirstFile", path, err);
    }
    do {
      if (wcscmp(fd.cFileName, L".") == 0 || wcscmp(fd.cFileName, L"..") == 0) continue;
      DirEntry entry;
      entry.name = Narrow(fd.cFileName);
      entry.is_directory = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      out.push_back(std::move(entry));
    } while (::FindNextFileW(find.get(), &fd));
    DWORD err = ::GetLastError();
    if (err != ERROR_NO_MORE_FILES) throw Error("FindNextFile", path, err);
    return out;
  }

  std::string ReadFile(const std::string& path) override {
    // Sharing reads only: a file another program holds open for writing
    // cannot be opened, and none can start writing while we read.
    UniqueHandle h(::CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!h.valid()) throw Error("CreateFile", path, ::GetLastError());
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(h.get(), &size)) throw Error("GetFileSizeEx", path, ::GetLastError());
    std::string data;
    data.reserve(static_cast<size_t>(size.QuadPart));
    std::vector<char> buf(65536);
    for (;;) {
      DWORD n = 0;
      if (!::ReadFile(h.get(), buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr)) {
        throw Error("ReadFile", path, ::GetLastError());
      }
      if (n == 0) break;
      data.append(buf.data(), n);
    }
    if (static_cast<int64_t>(data.size()) != size.QuadPart) {
      throw PlatformError("arquivo em gravacao por outro programa: '" + path + "'");
    }
    return data;
  }

  std::unique_ptr<AppendFile> OpenAppend(const std::string& path) override {
    // Readers may open the file while we hold it; writers may not.
    // The rights apply only when the file is created.
    PrivateSecurity security(kPrivateFileSddl);
    UniqueHandle h(::CreateFileW(Widen(path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ, security.get(), OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.valid()) throw Error("CreateFile", path, ::GetLastError());
    return std::make_unique<WinAppendFile>(std::move(h), path);
  }

  void CreatePrivateFile(const std::string& path) override {
    PrivateSecurity security(kPrivateFileSddl);
    UniqueHandle h(::CreateFileW(Widen(path).c_str(), GENERIC_WRITE, 0, security.get(), CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h.valid()) return;
    DWORD err = ::GetLastError();
    if (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS) return;
    // A folder there also answers "access denied"; leave it for the opener.
    if (err == ERROR_ACCESS_DENIED && DirectoryExists(path)) return;
    throw Error("CreateFile", path, err);
  }

  void WriteFileReplace(const std::string& path, const std::string& bytes) override {
    std::string tmp = path + ".tmp";
    std::wstring wtmp = Widen(tmp);
    {
      PrivateSecurity security(kPrivateFileSddl);
      UniqueHandle h(::CreateFileW(wtmp.c_str(), GENERIC_WRITE, 0, security.get(), CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!h.valid()) throw Error("CreateFile", tmp, ::GetLastError());
      size_t done = 0;
      while (done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        DWORD written = 0;
        if (!::WriteFile(h.get(), bytes.data() + done, chunk, &written, nullptr)) {
          DWORD err = ::GetLastError();
          h = UniqueHandle();
          ::DeleteFileW(wtmp.c_str());
          throw Error("WriteFile", tmp, err);
        }
        done += written;
      }
      if (!::FlushFileBuffers(h.get())) {
        DWORD err = ::GetLastError();
        h = UniqueHandle();
        ::DeleteFileW(wtmp.c_str());
        throw Error("FlushFileBuffers", tmp, err);
      }
    }
    if (!::MoveFileExW(wtmp.c_str(), Widen(path).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      DWORD err = ::GetLastError();
      ::DeleteFileW(wtmp.c_str());
      throw Error("MoveFileEx", tmp + "' -> '" + path, err);
    }
  }

  void RenameNoReplace(const std::string& from, const std::string& to) override {
    // MoveFileW never replaces an existing target.
    if (!::MoveFileW(Widen(from).c_str(), Widen(to).c_str())) {
      throw Error("MoveFile", from + "' -> '" + to, ::GetLastError());
    }
  }

  void DeleteFile(const std::string& path) override {
    if (!::DeleteFileW(Widen(path).c_str())) throw Error("DeleteFile", path, ::GetLastError());
  }

  std::string FullPath(const std::string& path) override {
    std::wstring wpath = Widen(path);
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
      DWORD n =
          ::GetFullPathNameW(wpath.c_str(), static_cast<DWORD>(buf.size()), buf.data(), nullptr);
      if (n == 0) throw Error("GetFullPathName", path, ::GetLastError());
      if (n < buf.size()) {
        buf.resize(n);
        return Narrow(buf);
      }
      buf.resize(n);  // n counts the terminator when the buffer was short
    }
  }

  size_t MaxPath() const override { return MAX_PATH; }
  char Separator() const override { return '\\'; }

 private:
  // `wpath` has no trailing separator; `path` is the caller's text for errors.
  void CreateDirectoriesW(const std::wstring& wpath, const std::string& path) {
    DWORD attr = ::GetFileAttributesW(wpath.c_str());
    if (attr != INVALID_FILE_ATTRIBUTES) {
      if (attr & FILE_ATTRIBUTE_DIRECTORY) return;
      throw Error("CreateDirectory", path, ERROR_ALREADY_EXISTS);
    }
    size_t pos = wpath.find_last_of(L"\\/");
    if (pos != std::wstring::npos) {
      std::wstring parent = wpath.substr(0, pos);
      while (parent.size() > 1 && IsSeparator(parent.back())) parent.pop_back();
      if (!IsRoot(parent)) CreateDirectoriesW(parent, path);
    }
    PrivateSecurity security(kPrivateFolderSddl);
    if (!::CreateDirectoryW(wpath.c_str(), security.get())) {
      DWORD err = ::GetLastError();
      if (err == ERROR_ALREADY_EXISTS && DirectoryExists(Narrow(wpath))) return;
      throw Error("CreateDirectory", Narrow(wpath), err);
    }
  }
};

}  // namespace

FileSystem* FileSystem::Default() {
  static WinFileSystem* fs = new WinFileSystem;
  return fs;
}

}  // namespace lumacor

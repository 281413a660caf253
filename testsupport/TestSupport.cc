#include "testsupport/TestSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "common/Text.h"
#include "platform/FileSystem.h"

namespace lumacor::testing {

namespace fs = std::filesystem;

namespace {

// Paths are UTF-8 text; std::filesystem would read a plain std::string in
// the ANSI code page on Windows.
fs::path U8Path(const std::string& s) { return fs::path(std::u8string(s.begin(), s.end())); }

std::string PathText(const fs::path& p) {
  std::u8string u = p.u8string();
  return std::string(u.begin(), u.end());
}

}  // namespace

TempDir::TempDir() {
  // TMPDIR on POSIX, the user's temporary folder on Windows.
  fs::path base = fs::temp_directory_path();
  std::random_device rd;
  const char* letters = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = "lumacor-";
    for (int i = 0; i < 8; ++i) name += letters[rd() % 36];
    std::error_code ec;
    if (fs::create_directory(base / name, ec)) {
      path_ = PathText(base / name);
      return;
    }
    if (ec) throw std::runtime_error("nao foi possivel criar pasta temporaria: " + ec.message());
  }
  throw std::runtime_error("nao foi possivel criar pasta temporaria");
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only folders behind; give rights back first.
  for (auto it = fs::recursive_directory_iterator(
           U8Path(path_), fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
  }
  fs::permissions(U8Path(path_), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(U8Path(path_), ec);
}

std::string TempDir::Path(const std::string& rel) const {
  // Written with the platform's separator, as the code under test writes
  // paths, so that expected and actual paths compare equal on Windows too.
  char sep = FileSystem::Default()->Separator();
  std::string out = path_ + sep + rel;
  std::replace(out.begin() + static_cast<std::ptrdiff_t>(path_.size()), out.end(), '/', sep);
  return out;
}

std::string TempDir::Write(const std::string& rel, const std::string& bytes) const {
  std::string p = Path(rel);
  fs::create_directories(U8Path(p).parent_path());
  WriteFileBytes(p, bytes);
  return p;
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(U8Path(path), std::ios::binary);
  if (!in) throw std::runtime_error("nao foi possivel ler " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(U8Path(path), std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("nao foi possivel gravar " + path);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  // A document an ERP finished a while ago: the folder collector leaves
  // files written in the last seconds for a later scan. Each write still
  // gets its own time, so a rewrite is seen as one.
  if (EndsWithIgnoreAsciiCase(path, ".xml")) SetWrittenLongAgo(path);
}

void SetWrittenLongAgo(const std::string& path) {
  fs::last_write_time(U8Path(path), fs::file_time_type::clock::now() - std::chrono::seconds(30));
}

LogCapture::LogCapture() : log_path_(dir_.Path("test.log")), previous_(GLogger) {
  logger_ = std::make_unique<TLogger>(log_path_, 0, 0, 0);
  GLogger = logger_.get();
}

LogCapture::~LogCapture() { GLogger = previous_; }

std::vector<LogLine> ReadLogLines(const std::string& path) {
  std::vector<LogLine> out;
  std::string bytes;
  try {
    bytes = ReadFileBytes(path);
  } catch (const std::exception&) {
    return out;
  }
  if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
  // "yyyy-mm-dd hh:nn:ss [LEVEL] message\r\n"; a message may hold line
  // breaks, so a line ends only where the next time stamp starts.
  auto starts_line = [&](size_t at) {
    return at + 27 <= bytes.size() && bytes[at + 4] == '-' && bytes[at + 7] == '-' &&
           bytes[at + 20] == '[' && bytes[at + 26] == ']';
  };
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t end = bytes.find("\r\n", pos);
    while (end != std::string::npos && end + 2 < bytes.size() && !starts_line(end + 2)) {
      end = bytes.find("\r\n", end + 2);
    }
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(pos, end - pos);
    if (line.size() >= 27)
      out.push_back({line.substr(21, 5), line.substr(std::min<size_t>(28, line.size()))});
    pos = end + 2;
  }
  return out;
}

std::vector<LogLine> LogCapture::Lines() const { return ReadLogLines(log_path_); }

std::vector<std::string> LogCapture::Messages() const {
  std::vector<std::string> out;
  for (const auto& l : Lines()) out.push_back(l.level + "|" + l.message);
  return out;
}

bool LogCapture::Has(const std::string& level, const std::string& message) const {
  for (const auto& l : Lines()) {
    if (l.level == level && l.message == message) return true;
  }
  return false;
}

ConfigScope::ConfigScope(const TSincConfig& config, const std::string& ini_path)
    : manager_(std::make_unique<TConfigManager>(config, ini_path)), previous_(GConfigManager) {
  GConfigManager = manager_.get();
}

ConfigScope::~ConfigScope() { GConfigManager = previous_; }

std::string TestEnv(const char* name) {
  const char* v = std::getenv(name);
  return v == nullptr ? std::string() : std::string(v);
}

}  // namespace lumacor::testing

// Crash loop: the real agent over a folder of synthetic documents, killed
// with SIGKILL at random moments of its cycles and started again, with
// documents changed between runs. After every kill the queue file must pass
// PRAGMA integrity_check; at the end every document's latest text must have
// reached the portal at least once. Prints the figures; exits 1 on any
// integrity failure or lost document.
//
//   lumacor-crash-loop [--kills N] [--seed S] [--docs N] [--exe PATH]
//                      [--keep DIR]
#include <rapidjson/document.h>
#include <signal.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "collect/ChaveAcesso.h"
#include "tests/ChildProcess.h"
#include "tools/TestPortal.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using lumacor::testing::ChildProcess;
using lumacor::testing::PortalAnswer;
using lumacor::testing::RecordedRequest;
using lumacor::testing::TestPortal;
using lumacor::testing::WaitUntil;
using Clock = std::chrono::steady_clock;

const std::string kCnpj = "12345678000190";

// With a right check digit, as the agent expects of a real key.
std::string Key(int n) {
  std::string tail = std::to_string(n);
  std::string k = "352605123456780001905500100000" + std::string(13 - tail.size(), '0') + tail;
  return k + std::to_string(lumacor::DigitoVerificadorChave(k));
}

std::string NFe(const std::string& key, int version) {
  return "<nfeProc><NFe><infNFe Id=\"NFe" + key +
         "\"><ide><mod>55</mod></ide><dest><xNome>Cliente versao " + std::to_string(version) +
         "</xNome></dest></infNFe></NFe><protNFe><infProt><chNFe>" + key +
         "</chNFe></infProt></protNFe></nfeProc>";
}

void WriteFile(const std::string& path, const std::string& bytes) {
  // Written beside and renamed in, as an ERP does, so the agent never
  // reads half a file: the loop tests the queue, not torn input.
  std::string tmp = path + ".tmp";
  std::ofstream(tmp, std::ios::binary | std::ios::trunc) << bytes;
  fs::rename(tmp, path);
}

// What the portal accepted: per identifier, how often each text came in.
class Ledger {
 public:
  void Accept(const std::string& chave, const std::string& xml) {
    std::lock_guard<std::mutex> lock(mu_);
    ++sends_[chave][xml];
  }
  bool Has(const std::string& chave, const std::string& xml) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = sends_.find(chave);
    return it != sends_.end() && it->second.count(xml) > 0;
  }
  std::map<std::string, std::map<std::string, int>> Snapshot() const {
    std::lock_guard<std::mutex> lock(mu_);
    return sends_;
  }

 private:
  mutable std::mutex mu_;
  std::map<std::string, std::map<std::string, int>> sends_;
};

// "ok", or what integrity_check reported, or why the file could not be read.
std::string IntegrityCheck(const std::string& path) {
  sqlite3* db = nullptr;
  // Read-write, so a hot journal left by the kill is rolled back first, as
  // the agent's own next open would do.
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    std::string msg = db != nullptr ? sqlite3_errmsg(db) : "open failed";
    sqlite3_close(db);
    return msg;
  }
  std::string result;
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) != SQLITE_OK) {
    result = sqlite3_errmsg(db);
  } else {
    while (sqlite3_step(st) == SQLITE_ROW) {
      if (!result.empty()) result += "; ";
      result += reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    }
    if (result.empty()) result = sqlite3_errmsg(db);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return result;
}

// New bytes of the agent's log since the last call.
class LogTail {
 public:
  explicit LogTail(std::string path) : path_(std::move(path)) {}
  void Skip() { offset_ = Size(); }
  // True once `line` appears in what was written after the last Skip.
  bool Seen(const std::string& line) {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return false;
    in.seekg(static_cast<std::streamoff>(offset_));
    std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    buffer_ += chunk;
    offset_ += chunk.size();
    size_t at = buffer_.find(line);
    if (at == std::string::npos) {
      // Keep a tail long enough for a line cut in two by the read.
      if (buffer_.size() > 4096) buffer_.erase(0, buffer_.size() - 4096);
      return false;
    }
    buffer_.erase(0, at + line.size());
    return true;
  }

 private:
  size_t Size() const {
    std::error_code ec;
    auto n = fs::file_size(path_, ec);
    return ec ? 0 : static_cast<size_t>(n);
  }
  std::string path_;
  size_t offset_ = 0;
  std::string buffer_;
};

struct Phase {
  const char* name;
  const char* start_line;  // the log line that opens it
  int max_delay_ms;        // kill within this long after the line
};

// Collection runs from the cycle's first line to the count of collected
// files, the upsert from there to the pending count, sending after it.
const Phase kPhases[] = {
    {"coleta", "=== Inicio do ciclo de sincronizacao ===", 60},
    {"gravacao", "XMLs das pastas.", 40},
    {"envio", "itens pendentes para envio.", 250},
};

// Finer than WaitUntil: a phase may last only tens of milliseconds.
template <typename Pred>
bool PollUntil(Pred pred, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!pred()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::string SelfDir() {
  std::error_code ec;
  fs::path p = fs::read_symlink("/proc/self/exe", ec);
  return ec ? "." : p.parent_path().string();
}

int Usage() {
  std::fprintf(stderr,
               "uso: lumacor-crash-loop [--kills N] [--seed S] [--docs N] [--exe PATH] "
               "[--keep DIR]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int kills = 30;
  int docs = 2000;
  uint64_t seed = std::random_device{}();
  std::string exe = SelfDir() + "/lumacor-relay";
  std::string keep;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return Usage();
    std::string v = argv[++i];
    if (a == "--kills")
      kills = std::atoi(v.c_str());
    else if (a == "--seed")
      seed = std::strtoull(v.c_str(), nullptr, 10);
    else if (a == "--docs")
      docs = std::atoi(v.c_str());
    else if (a == "--exe")
      exe = v;
    else if (a == "--keep")
      keep = v;
    else
      return Usage();
  }
  std::printf("crash loop: semente %llu, %d kills, %d documentos\n",
              static_cast<unsigned long long>(seed), kills, docs);
  std::fflush(stdout);
  std::mt19937_64 rng(seed);
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };

  fs::path root = keep.empty() ? fs::temp_directory_path() /
                                     ("lumacor-crash-loop-" + std::to_string(::getpid()))
                               : fs::path(keep);
  fs::remove_all(root);
  const std::string xml_dir = (root / "xml").string();
  const std::string log_path = (root / "log" / "sinc.log").string();
  const std::string queue_path = (root / "fila" / "queue.db").string();

  // Documents spread over subfolders, as an ERP files them by month.
  std::vector<std::string> paths(docs);
  std::vector<int> version(docs, 1);
  for (int n = 0; n < docs; ++n) {
    fs::path dir = root / "xml" / ("mes" + std::to_string(n % 20));
    fs::create_directories(dir);
    paths[n] = (dir / ("nfe" + std::to_string(n) + ".xml")).string();
    WriteFile(paths[n], NFe(Key(n), 1));
  }

  // The portal also fails now and then, as a real one does: such a send is
  // not delivered and must be tried again.
  Ledger ledger;
  std::mutex rng_mu;
  std::mt19937 portal_rng(static_cast<uint32_t>(seed));
  TestPortal portal;
  portal.SetHandler([&](const RecordedRequest& req) {
    {
      std::lock_guard<std::mutex> lock(rng_mu);
      if (portal_rng() % 20 == 0) return PortalAnswer::Status(503, "{\"erro\":\"ocupado\"}");
    }
    rapidjson::Document d;
    d.Parse(req.body.c_str(), req.body.size());
    if (d.HasParseError() || !d.IsObject() || !d.HasMember("chave_unica") || !d.HasMember("xml")) {
      return PortalAnswer::Status(400, "{\"erro\":\"corpo invalido\"}");
    }
    ledger.Accept(d["chave_unica"].GetString(), d["xml"].GetString());
    return PortalAnswer::Status(200, "{\"status\":\"recebido\"}");
  });

  fs::create_directories(root / "pd" / "Lumacor");
  std::ofstream(root / "pd" / "Lumacor" / "Marlux.ini", std::ios::trunc)
      << "[API]\ncnpj=" << kCnpj << "\ntoken_contador=tok\nendpoint_contador=" << portal.BaseUrl()
      << "\n[COLETA]\nmodo=pasta\nintervalo_segundos=0\nmax_tentativas=1000\n[XML]\npaths="
      << xml_dir << "\nrecursive=1\n[LOG]\npath=" << log_path
      << "\nmax_mb=1000\n[FILA]\nsqlite_path=" << queue_path << "\n";

  auto start_agent = [&] {
    std::map<std::string, std::string> env = {{"ProgramData", (root / "pd").string()},
                                              {"COMPUTERNAME", "CAIXA-01"},
                                              {"NOTIFY_SOCKET", ""}};
    return std::make_unique<ChildProcess>(std::vector<std::string>{exe}, env,
                                          (root / "stdout").string(), (root / "stderr").string());
  };

  const auto started = Clock::now();
  LogTail tail(log_path);
  int integrity_failures = 0;
  int unseen = 0;
  std::map<std::string, int> by_phase;
  for (int k = 1; k <= kills; ++k) {
    const Phase& phase = kPhases[uniform(0, 2)];
    const int cycle = uniform(1, 2);
    const int delay = uniform(0, phase.max_delay_ms);
    tail.Skip();
    auto agent = start_agent();
    bool seen = true;
    for (int c = 0; c < cycle && seen; ++c) {
      seen = PollUntil([&] { return tail.Seen(phase.start_line); }, 20s);
    }
    if (!seen) ++unseen;
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    agent->Signal(SIGKILL);
    agent->Wait(10s);
    agent.reset();
    ++by_phase[phase.name];

    std::string check = IntegrityCheck(queue_path);
    if (check != "ok") {
      ++integrity_failures;
      std::printf("kill %d (%s, ciclo %d, +%d ms): integrity_check: %s\n", k, phase.name, cycle,
                  delay, check.c_str());
    }

    // The ERP rewrites some documents while the agent is down.
    for (int i = 0; i < 10; ++i) {
      int n = uniform(0, docs - 1);
      WriteFile(paths[n], NFe(Key(n), ++version[n]));
    }
  }

  // A last run without kills must deliver everything still owed.
  auto all_delivered = [&] {
    for (int n = 0; n < docs; ++n) {
      if (!ledger.Has(Key(n), NFe(Key(n), version[n]))) return false;
    }
    return true;
  };
  {
    auto agent = start_agent();
    WaitUntil(all_delivered, std::chrono::seconds(30 + docs / 20));
    agent->Signal(SIGKILL);
    agent->Wait(10s);
  }
  std::string final_check = IntegrityCheck(queue_path);
  if (final_check != "ok") {
    ++integrity_failures;
    std::printf("final: integrity_check: %s\n", final_check.c_str());
  }

  int lost = 0;
  int duplicated_docs = 0;
  int extra_sends = 0;
  int worst = 0;
  std::string worst_key;
  const auto sends = ledger.Snapshot();
  for (int n = 0; n < docs; ++n) {
    auto it = sends.find(Key(n));
    if (it == sends.end() || it->second.count(NFe(Key(n), version[n])) == 0) {
      ++lost;
      if (lost <= 5) std::printf("perdido: %s (versao %d)\n", Key(n).c_str(), version[n]);
      continue;
    }
    bool dup = false;
    for (const auto& [xml, count] : it->second) {
      if (count > 1) {
        dup = true;
        extra_sends += count - 1;
      }
      if (count > worst) {
        worst = count;
        worst_key = Key(n);
      }
    }
    duplicated_docs += dup;
  }
  int changed = 0;
  for (int v : version) changed += v > 1;

  const double secs = std::chrono::duration<double>(Clock::now() - started).count();
  std::printf(
      "crash loop: semente %llu | kills: %d (coleta %d, gravacao %d, envio %d, %d sem a "
      "fase) | documentos: %d (%d alterados) | falhas de integridade: %d | perdidos: %d | "
      "duplicados: %d documentos, %d envios a mais | pior caso: %d envios de um mesmo "
      "texto%s%s | %.0f s\n",
      static_cast<unsigned long long>(seed), kills, by_phase["coleta"], by_phase["gravacao"],
      by_phase["envio"], unseen, docs, changed, integrity_failures, lost, duplicated_docs,
      extra_sends, worst, worst_key.empty() ? "" : " (",
      worst_key.empty() ? "" : (worst_key + ")").c_str(), secs);
  if (keep.empty()) fs::remove_all(root);
  return integrity_failures == 0 && lost == 0 ? 0 : 1;
}

// What one cycle of the agent costs over a realistic archive, against the
// least any agent must pay to learn that nothing changed: reading every
// file and fingerprinting it (the floor), and in database mode running the
// collection query and fetching every row (the raw query).
//
//   lumacor_bench_cycle [--docs N] [--runs R] [--seed S] [--dir DIR] [--drenagem 0|1]
//
// Writes a seeded corpus of N documents (default 20,000: NF-e and NFC-e of
// 5 to 40 items, 2% of them cancelled) into DIR (default: a fresh folder
// under TMPDIR, removed at the end), then measures, each phase R times (default
// 5) in a process of its own so that its peak RSS is its own:
//   floor      read + SHA-256 of every file
//   all-new    the first cycle over an empty queue (sends 100)
//   steady     a cycle with every document delivered and nothing changed,
//              in a freshly started agent and in one already running
//   sends      a fresh agent's steady cycle with 100 documents pending, less
//              the same without them
// With the test PostgreSQL's variables set (scripts/services/postgresql
// start DIR prints them), the same corpus goes into a table and the raw
// query, the first cycle and the steady cycles are measured in database
// mode too. Last, once (--drenagem 0 leaves it out), the drain: the real
// agent, started on the whole corpus as new with the default interval of
// 60 s, until the portal has had every document.
// Prints medians, documents/s, MB/s and peak RSS. The test portal runs in
// this process, on loopback, so a child's peak RSS is the agent's alone.
// Linux only.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "collect/ChaveAcesso.h"
#include "collect/postgresql/PostgreSQLConnection.h"
#include "common/Text.h"
#include "config/Config.h"
#include "log/Logger.h"
#include "queue/HashService.h"
#include "queue/Sqlite.h"
#include "queue/SqliteApi.h"
#include "service/SyncRunner.h"
#include "tools/TestPortal.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using lumacor::Format;
using SteadyClock = std::chrono::steady_clock;

const std::string kCnpj = "12345678000190";

std::string Digits(std::mt19937_64& rng, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>('0' + rng() % 10);
  return s;
}

// One realistic document: an authorised NF-e or NFC-e with its items.
std::string Documento(std::mt19937_64& rng, const std::string& chave, bool nfce) {
  std::string doc =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
      "<nfeProc xmlns=\"http://www.portalfiscal.inf.br/nfe\" versao=\"4.00\"><NFe><infNFe "
      "Id=\"NFe" +
      chave + "\" versao=\"4.00\"><ide><cUF>35</cUF><cNF>" + chave.substr(35, 8) +
      "</cNF><natOp>VENDA DE MERCADORIA</natOp><mod>" + (nfce ? "65" : "55") +
      "</mod><serie>1</serie><nNF>" + chave.substr(25, 9) +
      "</nNF><dhEmi>2026-05-20T14:05:09-03:00</dhEmi><tpNF>1</tpNF><tpAmb>1</tpAmb></ide>"
      "<emit><CNPJ>" +
      kCnpj +
      "</CNPJ><xNome>Comercio de Utilidades Marlux Ltda</xNome><enderEmit><xLgr>Rua das "
      "Flores</xLgr><nro>120</nro><xMun>Sao Paulo</xMun><UF>SP</UF></enderEmit></emit>";
  int itens = 5 + static_cast<int>(rng() % 36);
  for (int i = 1; i <= itens; ++i) {
    doc += "<det nItem=\"" + std::to_string(i) + "\"><prod><cProd>" + Digits(rng, 6) +
           "</cProd><cEAN>789" + Digits(rng, 10) + "</cEAN><xProd>PRODUTO DE TESTE " +
           Digits(rng, 4) +
           " DESCRICAO LONGA</xProd><NCM>21069090</NCM><CFOP>5102</CFOP><uCom>UN</uCom>"
           "<qCom>1.0000</qCom><vUnCom>" +
           Digits(rng, 2) + ".90</vUnCom><vProd>" + Digits(rng, 2) +
           ".90</vProd></prod><imposto><ICMS><ICMSSN102><orig>0</orig><CSOSN>102</CSOSN>"
           "</ICMSSN102></ICMS><PIS><PISOutr><CST>99</CST><vPIS>0.00</vPIS></PISOutr></PIS>"
           "</imposto></det>";
  }
  doc += "<total><ICMSTot><vNF>" + Digits(rng, 3) +
         ".00</vNF></ICMSTot></total></infNFe><Signature><SignatureValue>" + Digits(rng, 172) +
         "</SignatureValue></Signature></NFe><protNFe versao=\"4.00\"><infProt><tpAmb>1</tpAmb>"
         "<chNFe>" +
         chave + "</chNFe><nProt>1352600" + Digits(rng, 8) +
         "</nProt><cStat>100</cStat><xMotivo>Autorizado o uso da NF-e</xMotivo></infProt>"
         "</protNFe></nfeProc>";
  return doc;
}

std::string Cancelamento(const std::string& chave) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><procEventoNFe "
         "versao=\"1.00\"><evento><infEvento "
         "Id=\"ID110111" +
         chave + "01\"><cOrgao>35</cOrgao><tpAmb>1</tpAmb><CNPJ>" + kCnpj + "</CNPJ><chNFe>" +
         chave +
         "</chNFe><tpEvento>110111</tpEvento><nSeqEvento>1</nSeqEvento><detEvento><descEvento>"
         "Cancelamento</descEvento><xJust>Erro na digitacao do pedido</xJust></detEvento>"
         "</infEvento></evento><retEvento><infEvento><cStat>135</cStat></infEvento></retEvento>"
         "</procEventoNFe>";
}

// Files dated a minute back: finished documents, which a scan does not
// leave for later.
void GerarAcervo(const std::string& xml_dir, int docs, uint64_t seed, int64_t* bytes) {
  std::mt19937_64 rng(seed);
  *bytes = 0;
  struct timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= 60;
  times[1] = times[0];
  auto write = [&](const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
    utimensat(AT_FDCWD, p.c_str(), times, 0);
    *bytes += static_cast<int64_t>(text.size());
  };
  // Each model numbered on its own, with valid keys, as an ERP issues
  // them: no gaps and no wrong check digits to report.
  int proximo[2] = {1, 1};
  for (int n = 0; n < docs; ++n) {
    fs::path dir = fs::path(xml_dir) / Format("2026-%02d", 1 + n % 12);
    if (n < 12) fs::create_directories(dir);
    bool nfce = rng() % 2 == 0;
    std::string numero = Format("%09d", proximo[nfce ? 1 : 0]++);
    std::string chave =
        "352605" + kCnpj + (nfce ? "65" : "55") + "001" + numero + "1" + Digits(rng, 8);
    chave += static_cast<char>('0' + lumacor::DigitoVerificadorChave(chave));
    write(dir / ((nfce ? "NFCe" : "NFe") + chave + "-procNFe.xml"), Documento(rng, chave, nfce));
    if (rng() % 50 == 0)
      write(dir / ("110111" + chave + "01-procEventoNFe.xml"), Cancelamento(chave));
  }
}

// The test PostgreSQL of scripts/services, when its variables are set.
struct TBanco {
  std::string host, port, db, user, pass;
  bool Definido() const { return !host.empty() && !port.empty() && !db.empty(); }
  lumacor::TDBSettings Settings() const {
    lumacor::TDBSettings s;
    s.Server = host;
    s.Port = std::atoi(port.c_str());
    s.Database = db;
    s.User = user;
    s.Password = pass;
    return s;
  }
};

TBanco BancoDoAmbiente() {
  auto env = [](const char* n) {
    const char* v = std::getenv(n);
    return std::string(v == nullptr ? "" : v);
  };
  return {env("LUMACOR_PG_HOST"), env("LUMACOR_PG_PORT"), env("LUMACOR_PG_DB"),
          env("LUMACOR_PG_USER"), env("LUMACOR_PG_PASS")};
}

const char kTabela[] = "lumacor_bench_docs";
const std::string kConsulta =
    std::string("SELECT chave AS chave_unica, xml AS xml FROM ") + kTabela + " ORDER BY id";

lumacor::TSincConfig Configuracao(const std::string& dir, const std::string& portal_url,
                                  bool banco = false) {
  lumacor::TSincConfig cfg;
  cfg.CNPJ = kCnpj;
  cfg.TokenEmpresa = "tok";
  cfg.EndpointAPI = portal_url + "/api";
  cfg.ModoColeta = "pasta";
  cfg.XMLPaths = dir + "/xml";
  cfg.XMLRecursive = true;
  cfg.SQLitePath = dir + "/fila/queue.db";
  cfg.MaxTentativas = 5;
  cfg.DBType = "firebird";
  cfg.LogIgnorados = true;
  if (banco) {
    TBanco b = BancoDoAmbiente();
    cfg.ModoColeta = "banco";
    cfg.DBType = "postgresql";
    cfg.DBHost = b.host;
    cfg.DBPort = std::atoi(b.port.c_str());
    cfg.DBName = b.db;
    cfg.DBUser = b.user;
    cfg.DBPass = b.pass;
    cfg.SQLColeta = kConsulta;
    cfg.SQLitePath = dir + "/fila-banco/queue.db";
  }
  return cfg;
}

double Segundos(SteadyClock::duration d) { return std::chrono::duration<double>(d).count(); }

// The peak RSS of process `pid` ("self" for this one), in KiB: VmHWM
// belongs to the process's own memory since its exec, whereas a child's
// ru_maxrss also counts the parent's peak, from before the exec.
long PicoKiB(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// A child's last line: its peak.
void ImprimirPico() { std::printf("pico %ld\n", PicoKiB("self")); }

// Child: `cycles` cycles of a freshly made agent; prints each one's seconds.
int FilhoCiclo(const std::string& dir, int cycles, const std::string& portal_url, bool banco) {
  lumacor::TSincConfig cfg = Configuracao(dir, portal_url, banco);
  lumacor::TConfigManager manager(cfg, "");
  lumacor::GConfigManager = &manager;
  lumacor::TLogger logger(dir + "/log/sinc.log", 1000, 0, 0);
  lumacor::GLogger = &logger;
  {
    lumacor::TSyncRunner runner;
    for (int i = 0; i < cycles; ++i) {
      auto t0 = SteadyClock::now();
      runner.Executar();
      std::printf("%.6f\n", Segundos(SteadyClock::now() - t0));
    }
  }
  lumacor::GLogger = nullptr;
  lumacor::GConfigManager = nullptr;
  ImprimirPico();
  return 0;
}

// Child: the floor, every file read whole and fingerprinted.
int FilhoPiso(const std::string& dir) {
  auto t0 = SteadyClock::now();
  std::string bytes;
  size_t n = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir + "/xml")) {
    if (!e.is_regular_file()) continue;
    int fd = ::open(e.path().c_str(), O_RDONLY);
    struct stat st;
    ::fstat(fd, &st);
    bytes.resize(static_cast<size_t>(st.st_size));
    ssize_t got = ::read(fd, bytes.data(), bytes.size());
    ::close(fd);
    if (got >= 0)
      n += lumacor::THashService::SHA256(std::string_view(bytes.data(), static_cast<size_t>(got)))
               .size();
  }
  std::printf("%.6f\n", Segundos(SteadyClock::now() - t0));
  ImprimirPico();
  return n > 0 ? 0 : 1;
}

// Child: the raw query, every row fetched and nothing else done.
int FilhoConsulta() {
  auto t0 = SteadyClock::now();
  auto conn = lumacor::NewPostgreSQLConnection(BancoDoAmbiente().Settings());
  conn->Connect();
  auto cursor = conn->Query(kConsulta);
  size_t bytes = 0;
  while (cursor->Next()) bytes += cursor->AsText(0).size() + cursor->AsText(1).size();
  std::printf("%.6f\n", Segundos(SteadyClock::now() - t0));
  ImprimirPico();
  return bytes > 0 ? 0 : 1;
}

// The corpus into the table, one row per file in the folders' order.
void CarregarTabela(const std::string& xml_dir) {
  auto conn = lumacor::NewPostgreSQLConnection(BancoDoAmbiente().Settings());
  conn->Connect();
  conn->Query("SET client_min_messages = warning");
  conn->Query(std::string("DROP TABLE IF EXISTS ") + kTabela);
  conn->Query(std::string("CREATE TABLE ") + kTabela +
              " (id SERIAL PRIMARY KEY, chave TEXT NOT NULL, xml TEXT NOT NULL)");
  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(xml_dir)) {
    if (e.is_regular_file()) files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  std::string sql;
  auto flush = [&] {
    if (sql.empty()) return;
    conn->Query(std::string("INSERT INTO ") + kTabela + " (chave, xml) VALUES " + sql);
    sql.clear();
  };
  for (size_t i = 0; i < files.size(); ++i) {
    std::ifstream in(files[i], std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string quoted;
    for (char c : text) {
      if (c == '\'') quoted += '\'';
      quoted += c;
    }
    if (!sql.empty()) sql += ", ";
    sql += "('" + files[i].filename().string() + "', '" + quoted + "')";
    if (sql.size() > (4u << 20)) flush();
  }
  flush();
  conn->Query(std::string("ANALYZE ") + kTabela);
}

void ApagarTabela() {
  auto conn = lumacor::NewPostgreSQLConnection(BancoDoAmbiente().Settings());
  conn->Connect();
  conn->Query(std::string("DROP TABLE IF EXISTS ") + kTabela);
}

struct Medida {
  std::vector<double> segundos;  // one per cycle the child ran
  double pico_mib = 0;
};

// Runs this program again as a child in `mode` and reads its figures.
Medida Filho(const std::string& self, const std::vector<std::string>& args) {
  int pipefd[2];
  if (pipe(pipefd) != 0) std::exit(2);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipefd[0]);
  std::vector<std::string> all = {self};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(all.size() + 1);
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ) != 0) std::exit(2);
  posix_spawn_file_actions_destroy(&actions);
  close(pipefd[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) > 0;)
    out.append(buf, static_cast<size_t>(n));
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "filho falhou: %s\n", args[1].c_str());
    std::exit(2);
  }
  Medida m;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(pos, end - pos);
    if (line.rfind("pico ", 0) == 0) {
      m.pico_mib = static_cast<double>(std::atol(line.c_str() + 5)) / 1024.0;
    } else if (!line.empty()) {
      m.segundos.push_back(std::atof(line.c_str()));
    }
    pos = end + 1;
  }
  return m;
}

double Mediana(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void Exec(const std::string& db_path, const std::string& sql) {
  auto conn = lumacor::TSqliteConnection::Open(db_path, lumacor::kSqliteOpenReadWrite);
  conn.Exec(sql);
}

}  // namespace

// The drain: the real agent (its own run loop and wait, the default
// interval of 60 s), started on the whole corpus as new, until the portal
// has had `esperados` documents. Seconds and the agent's peak RSS; no
// figure when the agent is not built or does not finish in an hour.
Medida Drenagem(const std::string& dir, const std::string& portal_url,
                const std::atomic<int>& recebidos, int esperados) {
  Medida m;
  fs::path exe = fs::read_symlink("/proc/self/exe").parent_path() / "lumacor-relay";
  if (!fs::exists(exe)) {
    std::fprintf(stderr, "drenagem: %s nao encontrado (construa o alvo lumacor-relay)\n",
                 exe.c_str());
    return m;
  }
  fs::remove_all(dir + "/fila-drenagem");
  fs::create_directories(dir + "/pd/Lumacor");
  std::ofstream(dir + "/pd/Lumacor/Marlux.ini", std::ios::trunc)
      << "[API]\ncnpj=" << kCnpj << "\ntoken_contador=tok\nendpoint_contador=" << portal_url
      << "/api\n[COLETA]\nmodo=pasta\nmax_tentativas=5\n[XML]\npaths=" << dir
      << "/xml\nrecursive=1\n[LOG]\npath=" << dir
      << "/log/drenagem.log\n[FILA]\nsqlite_path=" << dir << "/fila-drenagem/queue.db\n";
  std::vector<std::string> env = {"ProgramData=" + dir + "/pd", "COMPUTERNAME=BENCH"};
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind("NOTIFY_SOCKET=", 0) != 0) env.emplace_back(*e);
  }
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string exe_s = exe.string();
  std::vector<char*> argv = {exe_s.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string out = dir + "/log/drenagem.out";
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, out.c_str(), O_WRONLY | O_APPEND, 0644);
  auto t0 = SteadyClock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, exe_s.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
    std::exit(2);
  }
  posix_spawn_file_actions_destroy(&actions);
  bool terminou = false;
  while (SteadyClock::now() - t0 < std::chrono::hours(1)) {
    if (recebidos.load() >= esperados) {
      terminou = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  double segundos = Segundos(SteadyClock::now() - t0);
  m.pico_mib = static_cast<double>(PicoKiB(std::to_string(pid))) / 1024.0;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  if (terminou) m.segundos.push_back(segundos);
  return m;
}

int main(int argc, char** argv) {
  int docs = 20000, runs = 5;
  uint64_t seed = 20260520;
  std::string dir;
  std::string child;
  std::string portal_url;
  bool banco = false;
  bool drenagem = true;
  int child_cycles = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i], v = argv[i + 1];
    if (a == "--docs") {
      docs = std::atoi(v.c_str());
    } else if (a == "--runs") {
      runs = std::max(1, std::atoi(v.c_str()));
    } else if (a == "--seed") {
      seed = std::strtoull(v.c_str(), nullptr, 10);
    } else if (a == "--dir") {
      dir = v;
    } else if (a == "--drenagem") {
      drenagem = v != "0";
    } else if (a == "--child") {
      child = v;
    } else if (a == "--cycles") {
      child_cycles = std::atoi(v.c_str());
    } else if (a == "--portal") {
      portal_url = v;
    } else if (a == "--banco") {
      banco = v == "1";
    } else {
      std::fprintf(stderr,
                   "uso: %s [--docs N] [--runs R] [--seed S] [--dir DIR] [--drenagem 0|1]\n",
                   argv[0]);
      return 2;
    }
  }
  if (child == "ciclo") return FilhoCiclo(dir, child_cycles, portal_url, banco);
  if (child == "piso") return FilhoPiso(dir);
  if (child == "consulta") return FilhoConsulta();

  bool temporary = dir.empty();
  if (temporary) {
    dir =
        (fs::temp_directory_path() / ("lumacor-bench-cycle-" + std::to_string(getpid()))).string();
  }
  fs::remove_all(dir);
  fs::create_directories(dir + "/fila");
  fs::create_directories(dir + "/fila-banco");
  fs::create_directories(dir + "/log");
  int64_t bytes = 0;
  std::printf("acervo: %d documentos, semente %llu, em %s\n", docs,
              static_cast<unsigned long long>(seed), dir.c_str());
  std::fflush(stdout);
  GerarAcervo(dir + "/xml", docs, seed, &bytes);
  size_t files = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir + "/xml")) files += e.is_regular_file();
  double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
  std::printf("%zu arquivos, %.1f MiB; %d medidas por fase (medianas)\n", files, mib, runs);
  std::fflush(stdout);

  // One portal for every child: it counts what it accepts and forgets the
  // requests, which the drain alone would make a gigabyte of.
  lumacor::testing::TestPortal portal;
  std::atomic<int> recebidos{0};
  portal.SetHandler([&](const lumacor::testing::RecordedRequest& r) {
    lumacor::testing::PortalAnswer a;
    if (r.method != "POST" || r.path.find("/xml/receber") == std::string::npos) {
      a.status = 404;
      return a;
    }
    recebidos.fetch_add(1);
    return a;
  });
  std::atomic<bool> fim{false};
  std::thread esquecer([&] {
    while (!fim) {
      portal.ClearRequests();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });

  const std::string self = "/proc/self/exe";
  const std::string queue = dir + "/fila/queue.db";
  const std::string queue_banco = dir + "/fila-banco/queue.db";
  auto run = [&](const char* mode, int cycles, bool em_banco = false) {
    return Filho(self, {"--child", mode, "--dir", dir, "--cycles", std::to_string(cycles),
                        "--portal", portal.BaseUrl(), "--banco", em_banco ? "1" : "0"});
  };
  struct Fase {
    std::string nome;
    std::vector<double> segundos;
    double pico_mib = 0;
  };
  std::vector<Fase> fases;
  auto add = [&](const std::string& nome, const std::vector<double>& s, double pico) {
    fases.push_back({nome, s, pico});
  };
  // `cycles` per child, the first child's figures apart.
  auto medir = [&](const char* mode, bool em_banco, int cycles, const std::function<void()>& antes,
                   std::vector<double>* primeiro, std::vector<double>* demais) {
    double pico = 0;
    for (int r = 0; r < runs; ++r) {
      if (antes) antes();
      Medida m = run(mode, cycles, em_banco);
      primeiro->push_back(m.segundos.at(0));
      for (size_t i = 1; i < m.segundos.size(); ++i) demais->push_back(m.segundos[i]);
      pico = std::max(pico, m.pico_mib);
    }
    return pico;
  };

  {
    std::vector<double> s, nada;
    run("piso", 1);  // warms the page cache
    double pico = medir("piso", false, 1, nullptr, &s, &nada);
    add("piso (leitura + SHA-256)", s, pico);
  }
  {
    std::vector<double> s, nada;
    double pico = medir(
        "ciclo", false, 1, [&] { fs::remove(queue); }, &s, &nada);
    add("pasta: primeiro ciclo, tudo novo (envia 100)", s, pico);
  }
  // Every document delivered: the steady state.
  Exec(queue, "UPDATE sync_xml SET sincronizado = 1, status_envio = 'enviado'");
  {
    std::vector<double> first, running;
    double pico = medir("ciclo", false, 3, nullptr, &first, &running);
    add("pasta: estavel, agente recem-iniciado", first, pico);
    add("pasta: estavel, agente em execucao", running, pico);
  }
  {
    std::vector<double> s, nada;
    double pico = medir(
        "ciclo", false, 1,
        [&] {
          Exec(queue,
               "UPDATE sync_xml SET sincronizado = 0, status_envio = 'pendente' WHERE id IN "
               "(SELECT id FROM sync_xml ORDER BY id LIMIT 100)");
        },
        &s, &nada);
    add("pasta: estavel com 100 pendentes, recem-iniciado", s, pico);
  }
  const double envio = Mediana(fases[4].segundos) - Mediana(fases[2].segundos);

  const bool com_banco = BancoDoAmbiente().Definido();
  size_t consulta = 0, banco_novo = 0, banco_estavel = 0;
  if (com_banco) {
    std::printf("carregando %zu documentos na tabela %s do PostgreSQL...\n", files, kTabela);
    std::fflush(stdout);
    CarregarTabela(dir + "/xml");
    std::vector<double> s, nada;
    run("consulta", 1);  // warms the server's cache
    double pico = medir("consulta", false, 1, nullptr, &s, &nada);
    consulta = fases.size();
    add("banco: consulta crua (todas as linhas)", s, pico);
    s.clear();
    pico = medir(
        "ciclo", true, 1, [&] { fs::remove(queue_banco); }, &s, &nada);
    banco_novo = fases.size();
    add("banco: primeiro ciclo, tudo novo (envia 100)", s, pico);
    Exec(queue_banco, "UPDATE sync_xml SET sincronizado = 1, status_envio = 'enviado'");
    std::vector<double> first, running;
    pico = medir("ciclo", true, 3, nullptr, &first, &running);
    banco_estavel = fases.size();
    add("banco: estavel, agente recem-iniciado", first, pico);
    add("banco: estavel, agente em execucao", running, pico);
  } else {
    std::printf("sem LUMACOR_PG_*: modo banco nao medido (veja o README)\n");
  }

  Medida dreno;
  if (drenagem) {
    std::printf("drenagem: %zu documentos novos, intervalo padrao de 60 s...\n", files);
    std::fflush(stdout);
    recebidos = 0;
    dreno = Drenagem(dir, portal.BaseUrl(), recebidos, static_cast<int>(files));
  }
  fim = true;
  esquecer.join();

  double piso = Mediana(fases[0].segundos);
  std::printf("\n%-50s %9s %9s %10s %9s %9s\n", "fase", "mediana s", "x piso", "docs/s", "MB/s",
              "pico MiB");
  for (const Fase& f : fases) {
    double m = Mediana(f.segundos);
    std::printf("%-50s %9.3f %9.2f %10.0f %9.1f %9.1f\n", f.nome.c_str(), m, m / piso,
                static_cast<double>(files) / m, mib / m, f.pico_mib);
  }
  std::printf(
      "\nenvio de 100 documentos ao portal local: %.3f s; primeiro ciclo sem os envios: "
      "%.3f s (%.2fx o piso)\n",
      envio, Mediana(fases[1].segundos) - envio, (Mediana(fases[1].segundos) - envio) / piso);
  if (com_banco) {
    double crua = Mediana(fases[consulta].segundos);
    std::printf(
        "banco: estavel %.2fx a consulta crua (recem-iniciado), %.2fx (em execucao); primeiro "
        "ciclo sem os envios %.2fx\n",
        Mediana(fases[banco_estavel].segundos) / crua,
        Mediana(fases[banco_estavel + 1].segundos) / crua,
        (Mediana(fases[banco_novo].segundos) - envio) / crua);
    ApagarTabela();
  }
  if (drenagem) {
    if (dreno.segundos.empty()) {
      std::printf("drenagem: nao concluida (%d de %zu recebidos)\n", recebidos.load(), files);
    } else {
      std::printf(
          "drenagem de %zu documentos novos ao portal local: %.1f s (%.0f docs/s), "
          "pico %.1f MiB\n",
          files, dreno.segundos[0], static_cast<double>(files) / dreno.segundos[0], dreno.pico_mib);
    }
  }
  if (temporary) fs::remove_all(dir);
  return 0;
}

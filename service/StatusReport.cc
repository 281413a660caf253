#include "service/StatusReport.h"

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "common/Error.h"
#include "common/Text.h"
#include "common/Version.h"
#include "log/Logger.h"

namespace lumacor {

namespace {

constexpr int64_t kMinIntervaloVencimento = 60;
constexpr int kIntervalosAteVencer = 3;

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DiasDesdeEpoca(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// Unix seconds as "2026-05-20T14:05:09Z".
std::string Iso(int64_t t) {
  int64_t dias = t >= 0 ? t / 86400 : (t - 86399) / 86400;
  int64_t resto = t - dias * 86400;
  // Civil date of a day count (the inverse of DiasDesdeEpoca).
  int64_t z = dias + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp + (mp < 10 ? 3 : -9);
  const int64_t y = yoe + era * 400 + (m <= 2);
  return Format("%04d-%02d-%02dT%02d:%02d:%02dZ", static_cast<int>(y), static_cast<int>(m),
                static_cast<int>(d), static_cast<int>(resto / 3600),
                static_cast<int>(resto / 60 % 60), static_cast<int>(resto % 60));
}

std::string Local(int64_t t, Clock* clock) {
  if (t == 0) return "-";
  LocalTime l = clock->ToLocal(Clock::TimePoint(std::chrono::seconds(t)));
  return Format("%02d/%02d/%04d %02d:%02d:%02d", l.day, l.month, l.year, l.hour, l.minute,
                l.second);
}

// "3 min", "2 h 5 min", "4 dias"
std::string Duracao(int64_t s) {
  if (s < 0) s = 0;
  if (s < 60) return Format("%d s", static_cast<int>(s));
  if (s < 3600) return Format("%d min", static_cast<int>(s / 60));
  if (s < 86400) {
    return Format("%d h %d min", static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60));
  }
  return Format("%d dias", static_cast<int>(s / 86400));
}

// Error texts may come from a portal's answer in any encoding; the files
// are UTF-8.
std::string Utf8Seguro(const std::string& s) {
  if (IsValidUtf8(s)) return s;
  return Windows1252ToUtf8(s);
}

std::string Html(const std::string& raw) {
  std::string s = Utf8Seguro(raw), out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string DescricaoDesfecho(const TResumoCiclo& c) {
  if (c.Desfecho == kCicloConcluido) return "concluído";
  if (c.Desfecho == kCicloConfigInvalida) return "configuração inválida";
  if (c.Desfecho == kCicloErroColeta) return "erro na coleta";
  if (c.Desfecho == kCicloPortalIndisponivel) return "portal indisponível";
  if (c.Desfecho == kCicloErro) return "erro no ciclo";
  return c.Desfecho;
}

std::string DescricaoEstado(const std::string& e) {
  if (e == "iniciado") return "iniciado, aguardando o primeiro ciclo";
  if (e == "em_ciclo") return "ciclo em andamento";
  if (e == "aguardando") return "aguardando o próximo ciclo";
  if (e == "parado") return "parado";
  return e;
}

using Writer = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

void Texto(Writer& w, const char* key, const std::string& v) {
  w.Key(key);
  std::string s = Utf8Seguro(v);
  w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
}

void Inteiro(Writer& w, const char* key, int64_t v) {
  w.Key(key);
  w.Int64(v);
}

// A time as two keys: "<key>" readable (null when unknown), "<key>_unix".
void Momento(Writer& w, const std::string& key, int64_t t) {
  w.Key(key.c_str());
  if (t == 0) {
    w.Null();
  } else {
    w.String(Iso(t).c_str());
  }
  Inteiro(w, (key + "_unix").c_str(), t);
}

void Contagem(Writer& w, const TContagemFila& c) {
  Inteiro(w, "pendentes", c.Pendentes);
  Inteiro(w, "enviados", c.Enviados);
  Inteiro(w, "falhas_definitivas", c.FalhasDefinitivas);
}

const rapidjson::Value* Membro(const rapidjson::Value& o, const char* key) {
  if (!o.IsObject()) return nullptr;
  auto it = o.FindMember(key);
  return it == o.MemberEnd() ? nullptr : &it->value;
}

std::string LerTexto(const rapidjson::Value& o, const char* key) {
  const rapidjson::Value* v = Membro(o, key);
  return v != nullptr && v->IsString() ? std::string(v->GetString(), v->GetStringLength()) : "";
}

int64_t LerInteiro(const rapidjson::Value& o, const char* key) {
  const rapidjson::Value* v = Membro(o, key);
  return v != nullptr && v->IsInt64() ? v->GetInt64() : 0;
}

TContagemFila LerContagem(const rapidjson::Value& o) {
  return {LerInteiro(o, "pendentes"), LerInteiro(o, "enviados"),
          LerInteiro(o, "falhas_definitivas")};
}

bool CicloConcluido(const TStatusAgente& s) {
  return s.UltimoCiclo.Inicio != 0 && s.UltimoCiclo.Desfecho == kCicloConcluido;
}

}  // namespace

std::string PastaStatus(const TSincConfig& cfg) { return FolderOf(cfg.SQLitePath); }

std::string DescreverFontes(const TSincConfig& cfg) {
  if (IsModoPasta(cfg.ModoColeta)) {
    return "pastas " + cfg.XMLPaths + (cfg.XMLRecursive ? " (com subpastas)" : "");
  }
  return "banco " + cfg.DBType + " em " + cfg.DBHost + ":" + std::to_string(cfg.DBPort) + ", " +
         cfg.DBName;
}

int64_t SegundosDeDataSqlite(const std::string& utc) {
  int y, mo, d, h, mi, s;
  char extra;
  if (std::sscanf(utc.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &extra) !=
      6) {
    return 0;
  }
  return DiasDesdeEpoca(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
}

bool StatusVencido(const TStatusAgente& s, int64_t agora) {
  int64_t intervalo = std::max<int64_t>(s.IntervaloSegundos, kMinIntervaloVencimento);
  // A running cycle is expected to last: it is timed from its start.
  return agora - s.GeradoEm > kIntervalosAteVencer * intervalo;
}

std::string Semaforo(const TStatusAgente& s, int64_t agora) {
  if (s.Estado == "parado" || StatusVencido(s, agora)) return "Parado";
  bool ciclo_ruim = s.UltimoCiclo.Inicio != 0 && s.UltimoCiclo.Desfecho != kCicloConcluido;
  if (ciclo_ruim || !s.ErroFila.empty() || !s.ErroLog.empty() ||
      s.Fila.Total.FalhasDefinitivas > 0) {
    return "Atenção";
  }
  return "OK";
}

std::string StatusParaJson(const TStatusAgente& s) {
  rapidjson::StringBuffer buf;
  Writer w(buf);
  w.StartObject();
  Texto(w, "versao", s.Versao);
  Texto(w, "estado", s.Estado);
  Momento(w, "gerado_em", s.GeradoEm);
  Momento(w, "iniciado_em", s.IniciadoEm);
  Inteiro(w, "intervalo_segundos", s.IntervaloSegundos);
  Texto(w, "marlux_ini", s.IniPath);
  Texto(w, "modo", s.Modo);
  Texto(w, "fontes", s.Fontes);
  Texto(w, "fila", s.FilaPath);
  Texto(w, "log", s.LogPath);
  Texto(w, "erro_log", s.ErroLog);
  w.Key("ultimo_ciclo");
  if (s.UltimoCiclo.Inicio == 0) {
    w.Null();
  } else {
    const TResumoCiclo& c = s.UltimoCiclo;
    w.StartObject();
    Momento(w, "inicio", c.Inicio);
    Momento(w, "fim", c.Fim);
    Inteiro(w, "duracao_ms", c.DuracaoMs);
    Inteiro(w, "coletados", c.Coletados);
    Inteiro(w, "enviados", c.Enviados);
    Inteiro(w, "falhas", c.Falhas);
    Texto(w, "desfecho", c.Desfecho);
    Texto(w, "mensagem", c.Mensagem);
    w.EndObject();
  }
  Momento(w, "proximo_ciclo", s.ProximoCiclo);
  w.Key("fila_resumo");
  w.StartObject();
  Texto(w, "erro", s.ErroFila);
  Contagem(w, s.Fila.Total);
  w.Key("por_cnpj");
  w.StartArray();
  for (const auto& [cnpj, c] : s.Fila.PorCNPJ) {
    w.StartObject();
    Texto(w, "cnpj", cnpj);
    Contagem(w, c);
    w.EndObject();
  }
  w.EndArray();
  Momento(w, "pendente_mais_antigo", s.PendenteMaisAntigo);
  Momento(w, "ultimo_envio", s.UltimoEnvio);
  w.Key("falhas_recentes");
  w.StartArray();
  for (const TFalhaDefinitiva& f : s.Fila.Falhas) {
    w.StartObject();
    Texto(w, "cnpj", f.CNPJ);
    Texto(w, "chave_unica", f.ChaveUnica);
    Texto(w, "ultimo_erro", f.UltimoErro);
    Momento(w, "quando", SegundosDeDataSqlite(f.Quando));
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  w.Key("numeracao");
  w.StartObject();
  w.Key("verificada");
  w.Bool(s.VerificaLacunas);
  Inteiro(w, "faixas_total", s.FaixasLacunas);
  w.Key("lacunas");
  w.StartArray();
  for (const TLacunasSerie& l : s.Lacunas) {
    w.StartObject();
    Texto(w, "cnpj", l.CNPJ);
    Texto(w, "modelo", l.Modelo);
    Texto(w, "serie", l.Serie);
    Inteiro(w, "numeros", l.Numeros);
    w.Key("faixas");
    w.StartArray();
    for (const TFaixa& f : l.Faixas) {
      w.StartArray();
      w.Int64(f.Inicio);
      w.Int64(f.Fim);
      w.EndArray();
    }
    w.EndArray();
    w.EndObject();
  }
  w.EndArray();
  Inteiro(w, "chaves_invalidas_total", s.TotalChavesInvalidas);
  w.Key("chaves_invalidas");
  w.StartArray();
  for (const std::string& k : s.ChavesInvalidas) {
    std::string t = Utf8Seguro(k);
    w.String(t.data(), static_cast<rapidjson::SizeType>(t.size()));
  }
  w.EndArray();
  w.EndObject();
  w.EndObject();
  return std::string(buf.GetString(), buf.GetSize()) + "\n";
}

TStatusAgente StatusDeJson(const std::string& json) {
  rapidjson::Document d;
  d.Parse(json.data(), json.size());
  if (d.HasParseError() || !d.IsObject() || Membro(d, "gerado_em_unix") == nullptr) {
    throw std::runtime_error("status.json ilegivel ou incompleto");
  }
  TStatusAgente s;
  s.Versao = LerTexto(d, "versao");
  s.Estado = LerTexto(d, "estado");
  s.GeradoEm = LerInteiro(d, "gerado_em_unix");
  s.IniciadoEm = LerInteiro(d, "iniciado_em_unix");
  s.IntervaloSegundos = static_cast<int32_t>(LerInteiro(d, "intervalo_segundos"));
  s.IniPath = LerTexto(d, "marlux_ini");
  s.Modo = LerTexto(d, "modo");
  s.Fontes = LerTexto(d, "fontes");
  s.FilaPath = LerTexto(d, "fila");
  s.LogPath = LerTexto(d, "log");
  s.ErroLog = LerTexto(d, "erro_log");
  if (const rapidjson::Value* c = Membro(d, "ultimo_ciclo"); c != nullptr && c->IsObject()) {
    s.UltimoCiclo.Inicio = LerInteiro(*c, "inicio_unix");
    s.UltimoCiclo.Fim = LerInteiro(*c, "fim_unix");
    s.UltimoCiclo.DuracaoMs = LerInteiro(*c, "duracao_ms");
    s.UltimoCiclo.Coletados = static_cast<int>(LerInteiro(*c, "coletados"));
    s.UltimoCiclo.Enviados = static_cast<int>(LerInteiro(*c, "enviados"));
    s.UltimoCiclo.Falhas = static_cast<int>(LerInteiro(*c, "falhas"));
    s.UltimoCiclo.Desfecho = LerTexto(*c, "desfecho");
    s.UltimoCiclo.Mensagem = LerTexto(*c, "mensagem");
  }
  s.ProximoCiclo = LerInteiro(d, "proximo_ciclo_unix");
  if (const rapidjson::Value* f = Membro(d, "fila_resumo"); f != nullptr && f->IsObject()) {
    s.ErroFila = LerTexto(*f, "erro");
    s.Fila.Total = LerContagem(*f);
    s.PendenteMaisAntigo = LerInteiro(*f, "pendente_mais_antigo_unix");
    s.UltimoEnvio = LerInteiro(*f, "ultimo_envio_unix");
    if (const rapidjson::Value* a = Membro(*f, "por_cnpj"); a != nullptr && a->IsArray()) {
      for (const auto& e : a->GetArray()) {
        s.Fila.PorCNPJ.emplace_back(LerTexto(e, "cnpj"), LerContagem(e));
      }
    }
    if (const rapidjson::Value* a = Membro(*f, "falhas_recentes"); a != nullptr && a->IsArray()) {
      for (const auto& e : a->GetArray()) {
        int64_t quando = LerInteiro(e, "quando_unix");
        std::string q = quando == 0 ? "" : Iso(quando);
        if (!q.empty()) q = q.substr(0, 10) + " " + q.substr(11, 8);
        s.Fila.Falhas.push_back(
            {LerTexto(e, "cnpj"), LerTexto(e, "chave_unica"), LerTexto(e, "ultimo_erro"), q});
      }
    }
  }
  if (const rapidjson::Value* n = Membro(d, "numeracao"); n != nullptr && n->IsObject()) {
    const rapidjson::Value* v = Membro(*n, "verificada");
    s.VerificaLacunas = v != nullptr && v->IsBool() && v->GetBool();
    s.FaixasLacunas = LerInteiro(*n, "faixas_total");
    s.TotalChavesInvalidas = LerInteiro(*n, "chaves_invalidas_total");
    if (const rapidjson::Value* a = Membro(*n, "lacunas"); a != nullptr && a->IsArray()) {
      for (const auto& e : a->GetArray()) {
        TLacunasSerie l{LerTexto(e, "cnpj"),
                        LerTexto(e, "modelo"),
                        LerTexto(e, "serie"),
                        {},
                        LerInteiro(e, "numeros")};
        if (const rapidjson::Value* f = Membro(e, "faixas"); f != nullptr && f->IsArray()) {
          for (const auto& par : f->GetArray()) {
            if (par.IsArray() && par.Size() == 2 && par[0].IsInt64() && par[1].IsInt64()) {
              l.Faixas.push_back({par[0].GetInt64(), par[1].GetInt64()});
            }
          }
        }
        s.Lacunas.push_back(std::move(l));
      }
    }
    if (const rapidjson::Value* a = Membro(*n, "chaves_invalidas"); a != nullptr && a->IsArray()) {
      for (const auto& e : a->GetArray()) {
        if (e.IsString()) s.ChavesInvalidas.emplace_back(e.GetString(), e.GetStringLength());
      }
    }
  }
  return s;
}

std::string StatusParaHtml(const TStatusAgente& s, Clock* clock) {
  std::string semaforo = Semaforo(s, s.GeradoEm);
  std::string classe = semaforo == "OK" ? "ok" : semaforo == "Parado" ? "parado" : "atencao";
  const TResumoCiclo& c = s.UltimoCiclo;
  std::string h;
  auto linha = [&h](const std::string& nome, const std::string& valor_html, const char* id = "") {
    h += "<tr><th>" + nome + "</th><td";
    if (*id) h += std::string(" id=\"") + id + "\"";
    h += ">" + valor_html + "</td></tr>\n";
  };
  h += "<!DOCTYPE html>\n<html lang=\"pt-BR\">\n<head>\n<meta charset=\"utf-8\">\n";
  h += "<meta http-equiv=\"refresh\" content=\"30\">\n";
  h += "<title>Lumacor Relay - " + Html(semaforo) + "</title>\n";
  h += "<style>\n"
       "body{font-family:Segoe UI,Arial,sans-serif;margin:0;background:#f4f5f7;color:#222}\n"
       "main{max-width:980px;margin:0 auto;padding:16px}\n"
       "#semaforo{padding:18px 24px;font-size:28px;font-weight:bold;color:#fff;"
       "border-radius:6px}\n"
       ".ok{background:#1e7e34}.atencao{background:#c77700}.parado{background:#b02a37}\n"
       "#motivo{font-size:16px;font-weight:normal;margin-top:4px}\n"
       "h2{font-size:18px;margin:24px 0 8px}\n"
       "table{border-collapse:collapse;width:100%;background:#fff}\n"
       "th,td{border:1px solid #ddd;padding:6px 8px;text-align:left;vertical-align:top;"
       "font-size:14px}\n"
       "th{background:#eceef1;width:30%}\n"
       "table.lista th{width:auto}\n"
       "td.num{text-align:right}\n"
       ".chave{font-family:Consolas,monospace;word-break:break-all}\n"
       "footer{color:#666;font-size:12px;margin-top:16px}\n"
       "</style>\n</head>\n<body>\n<main>\n";

  std::string motivo;
  if (s.Estado == "parado") {
    motivo = "O agente foi parado.";
  } else if (semaforo == "Parado") {
    motivo = "Status sem atualização há mais de três intervalos.";
  } else if (c.Inicio != 0 && c.Desfecho != kCicloConcluido) {
    motivo =
        "Último ciclo: " + DescricaoDesfecho(c) + (c.Mensagem.empty() ? "" : " - " + c.Mensagem);
  } else if (!s.ErroLog.empty()) {
    motivo = "O log não pode ser gravado: " + s.ErroLog;
  } else if (!s.ErroFila.empty()) {
    motivo = "A fila local não pôde ser lida: " + s.ErroFila;
  } else if (s.Fila.Total.FalhasDefinitivas > 0) {
    motivo = Format("%lld documentos com falha definitiva.",
                    static_cast<long long>(s.Fila.Total.FalhasDefinitivas));
  } else if (c.Inicio == 0) {
    motivo = "Agente iniciado; aguardando o primeiro ciclo.";
  } else {
    motivo = "Documentos fluindo normalmente.";
  }
  h += "<div id=\"semaforo\" class=\"" + classe + "\"><span id=\"semaforo-texto\">" +
       Html(semaforo) + "</span><div id=\"motivo\">" + Html(motivo) + "</div></div>\n";

  h += "<h2>Último ciclo</h2>\n<table id=\"ciclo\">\n";
  if (c.Inicio == 0) {
    linha("Situação", "nenhum ciclo ainda");
  } else {
    linha("Resultado", Html(DescricaoDesfecho(c)), "ciclo-desfecho");
    if (!c.Mensagem.empty()) linha("Mensagem", Html(c.Mensagem), "ciclo-mensagem");
    linha("Início", Html(Local(c.Inicio, clock)));
    linha("Fim", Html(Local(c.Fim, clock)));
    linha("Duração", Format("%.1f s", static_cast<double>(c.DuracaoMs) / 1000.0));
    linha("Coletados", std::to_string(c.Coletados), "ciclo-coletados");
    linha("Enviados", std::to_string(c.Enviados), "ciclo-enviados");
    linha("Falhas de envio", std::to_string(c.Falhas), "ciclo-falhas");
  }
  linha("Próximo ciclo", Html(Local(s.ProximoCiclo, clock)));
  h += "</table>\n";

  h += "<h2>Fila local</h2>\n<table id=\"fila\">\n";
  if (!s.ErroFila.empty()) linha("Erro ao ler a fila", Html(s.ErroFila), "fila-erro");
  linha("Pendentes", std::to_string(s.Fila.Total.Pendentes), "fila-pendentes");
  linha("Enviados", std::to_string(s.Fila.Total.Enviados), "fila-enviados");
  linha("Falhas definitivas", std::to_string(s.Fila.Total.FalhasDefinitivas), "fila-falhas");
  linha("Pendente mais antigo",
        s.PendenteMaisAntigo == 0 ? "-"
                                  : Html(Local(s.PendenteMaisAntigo, clock) + " (há " +
                                         Duracao(s.GeradoEm - s.PendenteMaisAntigo) + ")"),
        "fila-mais-antigo");
  linha("Último envio com sucesso", Html(Local(s.UltimoEnvio, clock)), "fila-ultimo-envio");
  h += "</table>\n";

  if (s.Fila.PorCNPJ.size() > 0) {
    h += "<h2>Por CNPJ</h2>\n<table class=\"lista\" id=\"por-cnpj\">\n"
         "<tr><th>CNPJ</th><th>Pendentes</th><th>Enviados</th><th>Falhas definitivas</th></tr>\n";
    for (const auto& [cnpj, n] : s.Fila.PorCNPJ) {
      h += "<tr><td>" + Html(cnpj) + "</td><td class=\"num\">" + std::to_string(n.Pendentes) +
           "</td><td class=\"num\">" + std::to_string(n.Enviados) + "</td><td class=\"num\">" +
           std::to_string(n.FalhasDefinitivas) + "</td></tr>\n";
    }
    h += "</table>\n";
  }

  h += "<h2>Falhas definitivas recentes</h2>\n";
  if (s.Fila.Falhas.empty()) {
    h += "<p>Nenhuma.</p>\n";
  } else {
    h += "<p>Para reenviar: <code>lumacor-relay /reenviar</code> (todas) ou "
         "<code>lumacor-relay /reenviar CHAVE</code>.</p>\n"
         "<table class=\"lista\" id=\"falhas\">\n"
         "<tr><th>Documento</th><th>CNPJ</th><th>Último erro</th><th>Quando</th></tr>\n";
    for (const TFalhaDefinitiva& f : s.Fila.Falhas) {
      h += "<tr><td class=\"chave\">" + Html(f.ChaveUnica) + "</td><td>" + Html(f.CNPJ) +
           "</td><td>" + Html(f.UltimoErro) + "</td><td>" +
           Html(Local(SegundosDeDataSqlite(f.Quando), clock)) + "</td></tr>\n";
    }
    h += "</table>\n";
  }

  h += "<h2>Numeração</h2>\n";
  if (!s.VerificaLacunas) {
    h += "<p id=\"lacunas-desligada\">Verificação de lacunas desligada "
         "([COLETA] verificar_lacunas=0).</p>\n";
  } else if (s.Lacunas.empty()) {
    h += "<p id=\"lacunas-nenhuma\">Nenhuma lacuna na numeração dos documentos emitidos.</p>\n";
  } else {
    h += "<table class=\"lista\" id=\"lacunas\">\n"
         "<tr><th>CNPJ emitente</th><th>Modelo</th><th>Série</th><th>Números faltando</th>"
         "<th>Quantidade</th></tr>\n";
    for (const TLacunasSerie& l : s.Lacunas) {
      for (const TFaixa& f : l.Faixas) {
        h += "<tr><td>" + Html(l.CNPJ) + "</td><td>" + Html(l.Modelo) + "</td><td>" +
             Html(l.Serie) + "</td><td>" + DescreverFaixas({f}, 1) + "</td><td class=\"num\">" +
             std::to_string(f.Fim - f.Inicio + 1) + "</td></tr>\n";
      }
    }
    h += "</table>\n";
    h += Format("<p id=\"lacunas-total\">%lld faixas no total",
                static_cast<long long>(s.FaixasLacunas));
    h += s.FaixasLacunas > static_cast<int64_t>(kMaxFaixasNoStatus)
             ? Format(" (as primeiras %d acima)", static_cast<int>(kMaxFaixasNoStatus))
             : std::string();
    h += ". Lista completa: <code>lumacor-relay /lacunas</code>.</p>\n";
  }
  if (!s.ChavesInvalidas.empty()) {
    h += Format("<h2>Chaves com dígito verificador inválido (%lld)</h2>\n",
                static_cast<long long>(s.TotalChavesInvalidas));
    h += "<p>Enviadas assim mesmo: o portal decide.</p>\n<table class=\"lista\" "
         "id=\"chaves-invalidas\">\n<tr><th>Chave</th></tr>\n";
    for (const std::string& k : s.ChavesInvalidas) {
      h += "<tr><td class=\"chave\">" + Html(k) + "</td></tr>\n";
    }
    h += "</table>\n";
  }

  h += "<h2>Agente</h2>\n<table id=\"agente\">\n";
  linha("Versão", Html(s.Versao), "agente-versao");
  linha("Situação", Html(DescricaoEstado(s.Estado)));
  linha("Em execução desde", Html(Local(s.IniciadoEm, clock)));
  linha("Intervalo", Format("%d s", static_cast<int>(s.IntervaloSegundos)));
  linha("Configuração", Html(s.IniPath));
  linha("Modo", Html(s.Modo));
  linha("Fontes", Html(s.Fontes));
  linha("Fila", Html(s.FilaPath));
  linha("Log", Html(s.LogPath) + (s.ErroLog.empty() ? "" : " <b>(não gravável)</b>"));
  h += "</table>\n";
  h += "<footer>Gerado em " + Html(Local(s.GeradoEm, clock)) +
       ". A página se atualiza a cada 30 segundos.</footer>\n";

  // The page is a file: nothing rewrites it once the agent is gone. The
  // banner set when it was written turns to "Parado" once it is too old,
  // by the viewer's clock.
  int64_t limite_ms =
      (s.GeradoEm +
       kIntervalosAteVencer * std::max<int64_t>(s.IntervaloSegundos, kMinIntervaloVencimento)) *
      1000;
  h += "<script>\n(function(){if(Date.now()>" + std::to_string(limite_ms) +
       "){var b=document.getElementById('semaforo');b.className='parado';"
       "document.getElementById('semaforo-texto').textContent='Parado';"
       "document.getElementById('motivo').textContent="
       "'Status sem atualiza\\u00e7\\u00e3o h\\u00e1 mais de tr\\u00eas intervalos.';"
       "document.title='Lumacor Relay - Parado';}})();\n</script>\n";
  h += "</main>\n</body>\n</html>\n";
  return h;
}

std::vector<std::string> ResumoTerminal(const TStatusAgente& s, int64_t agora, Clock* clock) {
  std::vector<std::string> out;
  const TResumoCiclo& c = s.UltimoCiclo;
  out.push_back("Lumacor Relay " + s.Versao + ": " + Semaforo(s, agora));
  out.push_back("Situação: " + DescricaoEstado(s.Estado) + " (status de " +
                Local(s.GeradoEm, clock) + ", há " + Duracao(agora - s.GeradoEm) + ")");
  if (StatusVencido(s, agora)) {
    out.emplace_back("Status sem atualização há mais de três intervalos: o agente parece parado.");
  }
  if (c.Inicio == 0) {
    out.emplace_back("Último ciclo: nenhum ainda");
  } else {
    out.push_back(
        "Último ciclo: " + DescricaoDesfecho(c) + " em " + Local(c.Fim, clock) +
        Format(" - coletados: %d | enviados: %d | erros: %d", c.Coletados, c.Enviados, c.Falhas));
    if (!c.Mensagem.empty()) out.push_back("  " + c.Mensagem);
  }
  if (s.ProximoCiclo != 0) out.push_back("Próximo ciclo: " + Local(s.ProximoCiclo, clock));
  if (!s.ErroFila.empty()) out.push_back("Fila local ilegível: " + s.ErroFila);
  out.push_back(Format("Fila: pendentes: %lld | enviados: %lld | falhas definitivas: %lld",
                       static_cast<long long>(s.Fila.Total.Pendentes),
                       static_cast<long long>(s.Fila.Total.Enviados),
                       static_cast<long long>(s.Fila.Total.FalhasDefinitivas)));
  if (s.PendenteMaisAntigo != 0) {
    out.push_back("Pendente mais antigo: " + Local(s.PendenteMaisAntigo, clock) + " (há " +
                  Duracao(agora - s.PendenteMaisAntigo) + ")");
  }
  out.push_back("Último envio com sucesso: " + Local(s.UltimoEnvio, clock));
  if (!s.ErroLog.empty()) out.push_back("Log não gravável: " + s.ErroLog);
  if (s.FaixasLacunas > 0) {
    out.push_back(Format("Lacunas na numeração: %lld faixas (lumacor-relay /lacunas)",
                         static_cast<long long>(s.FaixasLacunas)));
  }
  if (s.TotalChavesInvalidas > 0) {
    out.push_back(Format("Chaves com dígito verificador inválido: %lld",
                         static_cast<long long>(s.TotalChavesInvalidas)));
  }
  for (const TFalhaDefinitiva& f : s.Fila.Falhas) {
    out.push_back("  falha definitiva " + f.ChaveUnica + ": " + f.UltimoErro);
  }
  return out;
}

int CodigoSaidaStatus(const TStatusAgente& s, int64_t agora) {
  return CicloConcluido(s) && s.Estado != "parado" && !StatusVencido(s, agora) ? 0 : 1;
}

void ResumirNumeracao(const TVerificacaoNumeracao& v, bool VerificaLacunas, TStatusAgente& s) {
  s.VerificaLacunas = VerificaLacunas;
  s.Lacunas.clear();
  s.FaixasLacunas = 0;
  size_t cabem = kMaxFaixasNoStatus;
  for (const TLacunasSerie& l : v.Series) {
    s.FaixasLacunas += static_cast<int64_t>(l.Faixas.size());
    if (cabem == 0) continue;
    TLacunasSerie parte = l;
    if (parte.Faixas.size() > cabem) parte.Faixas.resize(cabem);
    cabem -= parte.Faixas.size();
    s.Lacunas.push_back(std::move(parte));
  }
  s.TotalChavesInvalidas = static_cast<int64_t>(v.ChavesInvalidas.size());
  s.ChavesInvalidas.assign(
      v.ChavesInvalidas.begin(),
      v.ChavesInvalidas.begin() +
          static_cast<std::ptrdiff_t>(std::min(v.ChavesInvalidas.size(), kMaxFaixasNoStatus)));
}

std::vector<std::string> ListaLacunas(const TVerificacaoNumeracao& v, bool VerificaLacunas) {
  std::vector<std::string> out;
  if (!VerificaLacunas) {
    out.emplace_back("Verificação de lacunas desligada ([COLETA] verificar_lacunas=0).");
  } else if (v.Series.empty()) {
    out.emplace_back("Nenhuma lacuna na numeração dos documentos emitidos.");
  }
  for (const TLacunasSerie& l : v.Series) {
    out.push_back("CNPJ " + l.CNPJ + ", modelo " + l.Modelo + ", série " + l.Serie + ": " +
                  DescreverFaixas(l.Faixas, l.Faixas.size()) +
                  Format(" (%lld números)", static_cast<long long>(l.Numeros)));
  }
  for (const std::string& k : v.ChavesInvalidas) {
    out.push_back("Chave com dígito verificador inválido: " + k);
  }
  return out;
}

int ComandoLacunas(const std::string& pasta, FileSystem* fs, void (*saida)(const std::string&)) {
  std::string path = (pasta.empty() ? "" : pasta + fs->Separator()) + kLacunasTxt;
  std::string texto;
  try {
    if (!fs->FileExists(path)) {
      saida("Lista de lacunas não encontrada: " + path +
            " (o agente já rodou com este Marlux.ini?)");
      return 1;
    }
    texto = fs->ReadFile(path);
  } catch (...) {
    saida("Lista de lacunas ilegível em " + path + ": " + CurrentErrorMessage());
    return 1;
  }
  size_t inicio = 0;
  while (inicio < texto.size()) {
    size_t fim = texto.find('\n', inicio);
    if (fim == std::string::npos) fim = texto.size();
    saida(texto.substr(inicio, fim - inicio));
    inicio = fim + 1;
  }
  return 0;
}

void GravarStatus(const TStatusAgente& s, const std::string& pasta, FileSystem* fs, Clock* clock) {
  std::string sep(1, fs->Separator());
  std::string base = pasta.empty() || pasta.back() == fs->Separator() ? pasta : pasta + sep;
  fs->WriteFileReplace(base + kStatusJson, StatusParaJson(s));
  fs->WriteFileReplace(base + kStatusHtml, StatusParaHtml(s, clock));
}

TRelatorioStatus::TRelatorioStatus(const TSincConfig& cfg, std::string IniPath, FileSystem* fs,
                                   Clock* clock)
    : fs_(fs), clock_(clock), FPasta(PastaStatus(cfg)) {
  FStatus.Versao = kVersion;
  FStatus.IniciadoEm = Agora();
  FStatus.IntervaloSegundos = cfg.IntervaloSegundos < 0 ? 60 : cfg.IntervaloSegundos;
  FStatus.IniPath = std::move(IniPath);
  FStatus.Modo = IsModoPasta(cfg.ModoColeta) ? "pasta" : "banco";
  FStatus.Fontes = DescreverFontes(cfg);
  FStatus.FilaPath = cfg.SQLitePath;
  FStatus.LogPath = cfg.LogPath;
  FCNPJ = cfg.CNPJ;
  FVerificarLacunas = cfg.VerificarLacunas;
  FLacunasAtrasoDias = cfg.LacunasAtrasoDias;
  FStatus.VerificaLacunas = FVerificarLacunas;
}

int64_t TRelatorioStatus::Agora() {
  return std::chrono::duration_cast<std::chrono::seconds>(clock_->Now().time_since_epoch()).count();
}

void TRelatorioStatus::Iniciado(TLocalQueue* Queue) {
  FStatus.Estado = "iniciado";
  FStatus.ProximoCiclo = Agora() + FStatus.IntervaloSegundos;
  VerificarNumeracao(Queue);
  Gravar(Queue);
}

void TRelatorioStatus::CicloIniciado() {
  FInicioCiclo = clock_->Now();
  FCiclo = TResumoCiclo{};
  FCiclo.Inicio = Agora();
  FStatus.Estado = "em_ciclo";
  FStatus.ProximoCiclo = 0;
  // The figures of the last write stand: counting the whole queue once a
  // cycle is enough.
  Gravar(nullptr);
}

void TRelatorioStatus::CicloTerminado(TLocalQueue* Queue, bool SemEspera) {
  FCiclo.Fim = Agora();
  FCiclo.DuracaoMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(clock_->Now() - FInicioCiclo).count();
  if (FCiclo.Desfecho.empty()) FCiclo.Desfecho = kCicloConcluido;
  FStatus.UltimoCiclo = FCiclo;
  FStatus.Estado = "aguardando";
  // A backlog being drained runs the next cycle at once.
  FStatus.ProximoCiclo = FCiclo.Fim + (SemEspera ? 0 : FStatus.IntervaloSegundos);
  VerificarNumeracao(Queue);
  Gravar(Queue);
}

void TRelatorioStatus::Parado(TLocalQueue* Queue) {
  FStatus.Estado = "parado";
  FStatus.ProximoCiclo = 0;
  Gravar(Queue);
}

void TRelatorioStatus::Gravar(TLocalQueue* Queue) {
  FStatus.GeradoEm = Agora();
  FStatus.ErroLog = GLogger != nullptr ? GLogger->FalhaEscrita() : "";
  if (Queue != nullptr) {
    FStatus.ErroFila.clear();
    FStatus.Fila = TResumoFila{};
    try {
      FStatus.Fila = Queue->Resumo();
    } catch (...) {
      FStatus.ErroFila = CurrentErrorMessage();
    }
  }
  FStatus.PendenteMaisAntigo = SegundosDeDataSqlite(FStatus.Fila.PendenteMaisAntigo);
  FStatus.UltimoEnvio = SegundosDeDataSqlite(FStatus.Fila.UltimoEnvio);
  try {
    GravarStatus(FStatus, FPasta, fs_, clock_);
    FFalhaAvisada = false;
  } catch (...) {
    if (!FFalhaAvisada)
      LogWarning("Nao foi possivel gravar o status em " + FPasta + ": " + CurrentErrorMessage());
    FFalhaAvisada = true;
  }
}

void TRelatorioStatus::VerificarNumeracao(TLocalQueue* Queue) {
  if (Queue == nullptr) return;
  bool refeita = false;
  try {
    // The identifiers and entry times only change with new rows: an
    // archive whose queue did not grow is not listed again every cycle.
    int64_t ultimo = Queue->UltimoID();
    if (ultimo != FUltimoIDVerificado) {
      // Row by row: an archive's identifiers are never all held at once.
      TVerificadorNumeracao verificador(FCNPJ);
      Queue->ParaCadaIdentificador(
          [&verificador](std::string_view chave, int64_t id) { verificador.Adicionar(chave, id); });
      TVerificacaoNumeracao nova = verificador.Concluir(
          FLacunasAtrasoDias, [Queue](int64_t id) { return Queue->EntradaNaFila(id); });
      if (!FVerificarLacunas) nova.Series.clear();
      FVerificacao = std::move(nova);
      FUltimoIDVerificado = ultimo;
      refeita = true;
    }
  } catch (...) {
    // The queue's failure shows on the page (ErroFila): the last check stands.
    return;
  }
  const TVerificacaoNumeracao& v = FVerificacao;
  ResumirNumeracao(v, FVerificarLacunas, FStatus);

  if (refeita) {
    for (const std::string& k : v.ChavesInvalidas) {
      if (FChavesAvisadas.insert(k).second && FChavesLidas) {
        LogWarning("Chave de acesso com digito verificador invalido (enviada assim mesmo): " + k);
      }
    }
    FChavesLidas = true;
    FListaLacunas.clear();
    for (const std::string& l : ListaLacunas(v, FVerificarLacunas)) FListaLacunas += l + "\n";
  }

  LocalTime hoje = clock_->NowLocal();
  int dia = hoje.year * 10000 + hoje.month * 100 + hoje.day;
  // A day that starts without gaps still gets its lines when one appears.
  if (dia != FDiaLacunas && !v.Series.empty()) {
    FDiaLacunas = dia;
    for (const TLacunasSerie& l : v.Series) LogInfo(LinhaLacunas(l));
  }

  std::string texto = "Numeração verificada em " + Local(Agora(), clock_) + "\n" + FListaLacunas;
  std::string sep(1, fs_->Separator());
  std::string base = FPasta.empty() || FPasta.back() == fs_->Separator() ? FPasta : FPasta + sep;
  try {
    fs_->WriteFileReplace(base + kLacunasTxt, texto);
  } catch (...) {
    // The folder is the status files': their write reports the failure.
  }
}

}  // namespace lumacor

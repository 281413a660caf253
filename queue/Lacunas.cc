#include "queue/Lacunas.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <map>
#include <unordered_map>

#include "collect/ChaveAcesso.h"
#include "common/Text.h"

namespace lumacor {

namespace {

// Issuer CNPJ, model and series lie side by side in both kinds of
// identifier: 19 characters.
constexpr size_t kTamanhoSerie = 19;
constexpr size_t kInicioSerieChave = 6;
constexpr size_t kInicioSerieInut = 5 + 2 + 2;
constexpr std::string_view kPrefixoInut = "INUT-";
constexpr size_t kTamanhoInut = 5 + 2 + 2 + 14 + 2 + 3 + 9 + 9;

struct Intervalo {
  int64_t Inicio;
  int64_t Fim;
  int64_t ID;
};

bool Numero9(std::string_view s, int64_t& out) {
  int64_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  out = n;
  return true;
}

std::string RaizCNPJ(std::string_view cnpj) {
  std::string raiz;
  for (char c : cnpj) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      raiz += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (raiz.size() == 8) break;
  }
  return raiz.size() == 8 ? raiz : "";
}

std::string SemZerosAEsquerda(std::string_view s) {
  size_t i = s.find_first_not_of('0');
  return i == std::string_view::npos ? "0" : std::string(s.substr(i));
}

}  // namespace

TVerificacaoNumeracao VerificarNumeracao(const std::vector<TIdentificadorFila>& Ids,
                                         std::string_view CNPJEmpresa, int DiasAtraso,
                                         const TEntradaNaFila& Entrada) {
  TVerificacaoNumeracao r;
  const std::string raiz = RaizCNPJ(CNPJEmpresa);
  // Views into `Ids`, which outlive the map: no text is copied per row.
  std::unordered_map<std::string_view, std::vector<Intervalo>> grupos;
  int64_t mais_novo = std::numeric_limits<int64_t>::min();  // the highest id
  for (const TIdentificadorFila& id : Ids) {
    std::string_view c = id.ChaveUnica;
    std::string_view serie;
    Intervalo iv{0, 0, id.ID};
    if (c.size() == 44) {
      if (!DigitoChaveValido(c)) r.ChavesInvalidas.emplace_back(c);
      serie = c.substr(kInicioSerieChave, kTamanhoSerie);
      if (!Numero9(c.substr(25, 9), iv.Inicio)) continue;
      iv.Fim = iv.Inicio;
    } else if (c.size() == kTamanhoInut && c.substr(0, kPrefixoInut.size()) == kPrefixoInut) {
      serie = c.substr(kInicioSerieInut, kTamanhoSerie);
      if (!Numero9(c.substr(kTamanhoInut - 18, 9), iv.Inicio) ||
          !Numero9(c.substr(kTamanhoInut - 9, 9), iv.Fim) || iv.Fim < iv.Inicio) {
        continue;
      }
    } else {
      continue;
    }
    if (raiz.empty() || serie.substr(0, 8) != raiz) continue;
    grupos[serie].push_back(iv);
    mais_novo = std::max(mais_novo, id.ID);
  }
  std::sort(r.ChavesInvalidas.begin(), r.ChavesInvalidas.end());
  r.ChavesInvalidas.erase(std::unique(r.ChavesInvalidas.begin(), r.ChavesInvalidas.end()),
                          r.ChavesInvalidas.end());

  const bool com_atraso = DiasAtraso > 0 && Entrada && !grupos.empty();
  const int64_t atraso = com_atraso ? static_cast<int64_t>(DiasAtraso) * 86400 : 0;
  const int64_t entrada_mais_novo = com_atraso ? Entrada(mais_novo) : 0;
  std::map<std::string_view, TLacunasSerie> por_serie;
  for (auto& [chave, ivs] : grupos) {
    std::sort(ivs.begin(), ivs.end(),
              [](const Intervalo& a, const Intervalo& b) { return a.Inicio < b.Inicio; });
    // Each gap appeared with the first row numbered above it: the lowest
    // id above it.
    std::vector<int64_t> desde(ivs.size());
    int64_t minimo = std::numeric_limits<int64_t>::max();
    for (size_t i = ivs.size(); i-- > 0;) {
      minimo = std::min(minimo, ivs[i].ID);
      desde[i] = minimo;
    }
    TLacunasSerie s;
    int64_t coberto_ate = ivs[0].Fim;
    for (size_t i = 1; i < ivs.size(); ++i) {
      if (ivs[i].Inicio > coberto_ate + 1 &&
          (!com_atraso || entrada_mais_novo - Entrada(desde[i]) >= atraso)) {
        s.Faixas.push_back({coberto_ate + 1, ivs[i].Inicio - 1});
        s.Numeros += ivs[i].Inicio - 1 - coberto_ate;
      }
      coberto_ate = std::max(coberto_ate, ivs[i].Fim);
    }
    if (s.Faixas.empty()) continue;
    s.CNPJ = std::string(chave.substr(0, 14));
    s.Modelo = std::string(chave.substr(14, 2));
    s.Serie = SemZerosAEsquerda(chave.substr(16, 3));
    por_serie.emplace(chave, std::move(s));
  }
  for (auto& [chave, s] : por_serie) r.Series.push_back(std::move(s));
  return r;
}

std::string DescreverFaixas(const std::vector<TFaixa>& Faixas, size_t Max) {
  std::string out;
  for (size_t i = 0; i < Faixas.size() && i < Max; ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(Faixas[i].Inicio);
    if (Faixas[i].Fim != Faixas[i].Inicio) {
      // Appended in two steps: "-" + to_string() trips GCC 12's false
      // -Wrestrict in optimised builds.
      out += '-';
      out += std::to_string(Faixas[i].Fim);
    }
  }
  if (Faixas.size() > Max) out += ", ...";
  return out;
}

std::string LinhaLacunas(const TLacunasSerie& s) {
  return "Numeracao com lacunas: CNPJ " + s.CNPJ + ", modelo " + s.Modelo + ", serie " + s.Serie +
         ": " + DescreverFaixas(s.Faixas, 50) +
         Format(" (%lld numeros)", static_cast<long long>(s.Numeros));
}

}  // namespace lumacor

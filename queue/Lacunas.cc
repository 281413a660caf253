#include "queue/Lacunas.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <utility>

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

TVerificadorNumeracao::TVerificadorNumeracao(std::string_view CNPJEmpresa)
    : FRaiz(RaizCNPJ(CNPJEmpresa)), FMaisNovo(std::numeric_limits<int64_t>::min()) {}

void TVerificadorNumeracao::Adicionar(std::string_view c, int64_t ID) {
  std::string_view serie;
  Intervalo iv{0, 0, ID};
  if (c.size() == 44) {
    if (!DigitoChaveValido(c)) FChavesInvalidas.emplace_back(c);
    serie = c.substr(kInicioSerieChave, kTamanhoSerie);
    if (!Numero9(c.substr(25, 9), iv.Inicio)) return;
    iv.Fim = iv.Inicio;
  } else if (c.size() == kTamanhoInut && c.substr(0, kPrefixoInut.size()) == kPrefixoInut) {
    serie = c.substr(kInicioSerieInut, kTamanhoSerie);
    if (!Numero9(c.substr(kTamanhoInut - 18, 9), iv.Inicio) ||
        !Numero9(c.substr(kTamanhoInut - 9, 9), iv.Fim) || iv.Fim < iv.Inicio) {
      return;
    }
  } else {
    return;
  }
  if (FRaiz.empty() || serie.substr(0, 8) != FRaiz) return;
  auto it = FGrupos.find(serie);
  if (it == FGrupos.end()) it = FGrupos.emplace(std::string(serie), std::vector<Intervalo>()).first;
  it->second.push_back(iv);
  FMaisNovo = std::max(FMaisNovo, ID);
}

TVerificacaoNumeracao TVerificadorNumeracao::Concluir(int DiasAtraso,
                                                      const TEntradaNaFila& Entrada) {
  TVerificacaoNumeracao r;
  r.ChavesInvalidas = std::move(FChavesInvalidas);
  FChavesInvalidas.clear();
  std::sort(r.ChavesInvalidas.begin(), r.ChavesInvalidas.end());
  r.ChavesInvalidas.erase(std::unique(r.ChavesInvalidas.begin(), r.ChavesInvalidas.end()),
                          r.ChavesInvalidas.end());

  const bool com_atraso = DiasAtraso > 0 && Entrada && !FGrupos.empty();
  const int64_t atraso = com_atraso ? static_cast<int64_t>(DiasAtraso) * 86400 : 0;
  const int64_t entrada_mais_novo = com_atraso ? Entrada(FMaisNovo) : 0;
  for (auto& [chave, ivs] : FGrupos) {
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
    std::string_view k = chave;
    s.CNPJ = std::string(k.substr(0, 14));
    s.Modelo = std::string(k.substr(14, 2));
    s.Serie = SemZerosAEsquerda(k.substr(16, 3));
    r.Series.push_back(std::move(s));
  }
  FGrupos.clear();
  return r;
}

TVerificacaoNumeracao VerificarNumeracao(const std::vector<TIdentificadorFila>& Ids,
                                         std::string_view CNPJEmpresa, int DiasAtraso,
                                         const TEntradaNaFila& Entrada) {
  TVerificadorNumeracao v(CNPJEmpresa);
  for (const TIdentificadorFila& id : Ids) v.Adicionar(id.ChaveUnica, id.ID);
  return v.Concluir(DiasAtraso, Entrada);
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

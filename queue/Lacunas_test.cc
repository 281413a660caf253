#include "queue/Lacunas.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collect/ChaveAcesso.h"
#include "common/Text.h"

namespace lumacor {
namespace {

constexpr const char* kMatriz = "12345678000190";
constexpr const char* kFilial = "12345678000271";
constexpr const char* kFornecedor = "99888777000166";
constexpr int64_t kDia = 86400;
constexpr int64_t kT0 = 1779285909;

// An access key with a right check digit.
std::string Chave(const std::string& cnpj, const char* mod, int serie, int64_t numero) {
  std::string k = "352605" + cnpj + mod +
                  Format("%03d%09lld", serie, static_cast<long long>(numero)) + "1" + "00000001";
  return k + std::to_string(DigitoVerificadorChave(k));
}

std::string Inut(const std::string& cnpj, const char* mod, int serie, int64_t ini, int64_t fin) {
  return "INUT-3526" + cnpj + mod +
         Format("%03d%09lld%09lld", serie, static_cast<long long>(ini),
                static_cast<long long>(fin));
}

std::vector<TIdentificadorFila> Notas(const std::string& cnpj, const char* mod, int serie,
                                      std::vector<int64_t> numeros, int64_t quando = kT0) {
  std::vector<TIdentificadorFila> ids;
  for (int64_t n : numeros) ids.push_back({Chave(cnpj, mod, serie, n), quando});
  return ids;
}

std::vector<TIdentificadorFila> operator+(std::vector<TIdentificadorFila> a,
                                          const std::vector<TIdentificadorFila>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// "12345678000190/65/1: 3-4, 7 (3)" per series, "; " between them.
std::string Descrever(const TVerificacaoNumeracao& v) {
  std::string out;
  for (const TLacunasSerie& s : v.Series) {
    if (!out.empty()) out += "; ";
    out += s.CNPJ + "/" + s.Modelo + "/" + s.Serie + ": " + DescreverFaixas(s.Faixas, 100) + " (" +
           std::to_string(s.Numeros) + ")";
  }
  return out;
}

TEST(LacunasTest, GapsPerIssuerModelAndSeries) {
  struct Case {
    const char* nome;
    std::vector<TIdentificadorFila> ids;
    std::string lacunas;
  } cases[] = {
      {"sem lacunas", Notas(kMatriz, "55", 1, {3, 1, 2}), ""},
      {"uma nota so", Notas(kMatriz, "55", 1, {7}), ""},
      {"no meio", Notas(kMatriz, "55", 1, {1, 2, 5, 6}), "12345678000190/55/1: 3-4 (2)"},
      {"logo apos a menor e logo antes da maior", Notas(kMatriz, "65", 1, {10, 12, 13, 15}),
       "12345678000190/65/1: 11, 14 (2)"},
      {"varias faixas", Notas(kMatriz, "65", 1, {119, 125, 309, 311}),
       "12345678000190/65/1: 120-124, 126-308, 310 (189)"},
      {"inutilizacao cobre parte da lacuna",
       Notas(kMatriz, "55", 1, {1, 10}) +
           std::vector<TIdentificadorFila>{{Inut(kMatriz, "55", 1, 3, 5), kT0}},
       "12345678000190/55/1: 2, 6-9 (5)"},
      {"inutilizacao cobre a lacuna inteira",
       Notas(kMatriz, "55", 1, {1, 5}) +
           std::vector<TIdentificadorFila>{{Inut(kMatriz, "55", 1, 2, 4), kT0}},
       ""},
      {"inutilizacao alem da maior nota",
       Notas(kMatriz, "55", 1, {1}) +
           std::vector<TIdentificadorFila>{{Inut(kMatriz, "55", 1, 5, 6), kT0}},
       "12345678000190/55/1: 2-4 (3)"},
      {"inutilizacoes sobrepostas a notas",
       Notas(kMatriz, "55", 1, {1, 4, 20}) +
           std::vector<TIdentificadorFila>{{Inut(kMatriz, "55", 1, 2, 10), kT0},
                                           {Inut(kMatriz, "55", 1, 8, 12), kT0}},
       "12345678000190/55/1: 13-19 (7)"},
      {"inutilizacao de outra serie nao cobre",
       Notas(kMatriz, "55", 1, {1, 3}) +
           std::vector<TIdentificadorFila>{{Inut(kMatriz, "55", 2, 2, 2), kT0}},
       "12345678000190/55/1: 2 (1)"},
      {"nota e cancelamento contam uma vez", Notas(kMatriz, "55", 1, {1, 1, 3, 3}),
       "12345678000190/55/1: 2 (1)"},
      {"nfe e nfce da mesma serie sao numeracoes distintas",
       Notas(kMatriz, "55", 1, {1, 3}) + Notas(kMatriz, "65", 1, {2, 3}),
       "12345678000190/55/1: 2 (1)"},
      {"series e modelos, matriz e filial",
       Notas(kMatriz, "65", 2, {1, 4}) + Notas(kMatriz, "55", 1, {5, 7}) +
           Notas(kFilial, "55", 1, {1, 2, 4}) + Notas(kMatriz, "65", 10, {1, 2}),
       "12345678000190/55/1: 6 (1); 12345678000190/65/2: 2-3 (2); 12345678000271/55/1: 3 (1)"},
      {"notas de fornecedor nao sao verificadas",
       Notas(kFornecedor, "55", 1, {1, 9}) + Notas(kMatriz, "55", 1, {1, 2}), ""},
      {"serie 0 e numero alto", Notas(kMatriz, "55", 0, {999999997, 999999999}),
       "12345678000190/55/0: 999999998 (1)"},
      {"identificadores estranhos sao ignorados",
       Notas(kMatriz, "55", 1, {1, 3}) +
           std::vector<TIdentificadorFila>{{"INUT-1", kT0},
                                           {Inut(kMatriz, "55", 1, 9, 2), kT0},
                                           {"ID110111" + Chave(kMatriz, "55", 1, 50) + "01", kT0},
                                           {"", kT0}},
       "12345678000190/55/1: 2 (1)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Descrever(VerificarNumeracao(c.ids, kMatriz, 0)), c.lacunas) << c.nome;
  }
}

// The company is known by the root of its CNPJ however it was typed, and
// an alphanumeric one too.
TEST(LacunasTest, CompanyRootAsConfigured) {
  struct Case {
    const char* configurado;
    std::string emitente;
    bool verificado;
  } cases[] = {
      {"12345678000190", kMatriz, true},
      {"12.345.678/0001-90", kFilial, true},
      {"12.abc.345/0001-80", "12ABC345000180", true},
      {"1234567", kMatriz, false},
      {"", kMatriz, false},
      {"12345679000100", kMatriz, false},
  };
  for (const Case& c : cases) {
    auto v = VerificarNumeracao(Notas(c.emitente, "55", 1, {1, 3}), c.configurado, 0);
    EXPECT_EQ(v.Series.size(), c.verificado ? 1u : 0u) << c.configurado;
  }
}

// A gap counts from when the first number above it was queued, against
// the newest document of the company. Here a row's id is its time.
TEST(LacunasTest, DelayInDays) {
  auto ids = Notas(kMatriz, "55", 1, {1}, kT0) + Notas(kMatriz, "55", 1, {3, 4}, kT0 + kDia) +
             Notas(kMatriz, "55", 1, {6}, kT0 + 3 * kDia) +
             Notas(kMatriz, "65", 1, {1}, kT0 + 5 * kDia);
  struct Case {
    int dias;
    std::string lacunas;
  } cases[] = {
      {0, "12345678000190/55/1: 2, 5 (2)"}, {-1, "12345678000190/55/1: 2, 5 (2)"},
      {2, "12345678000190/55/1: 2, 5 (2)"}, {3, "12345678000190/55/1: 2 (1)"},
      {4, "12345678000190/55/1: 2 (1)"},    {5, ""},
  };
  for (const Case& c : cases) {
    int perguntas = 0;
    auto entrada = [&perguntas](int64_t id) {
      ++perguntas;
      return id;
    };
    EXPECT_EQ(Descrever(VerificarNumeracao(ids, kMatriz, c.dias, entrada)), c.lacunas) << c.dias;
    // Only the newest row and the first above each of the two gaps.
    EXPECT_EQ(perguntas, c.dias > 0 ? 3 : 0) << c.dias;
  }
}

TEST(LacunasTest, KeysWithAWrongCheckDigitOfAnyIssuer) {
  std::string boa = Chave(kMatriz, "55", 1, 1);
  std::string ruim = Chave(kMatriz, "55", 1, 2);
  ruim.back() = ruim.back() == '9' ? '0' : static_cast<char>(ruim.back() + 1);
  std::string alheia = Chave(kFornecedor, "55", 1, 7);
  alheia.back() = alheia.back() == '9' ? '0' : static_cast<char>(alheia.back() + 1);
  auto v = VerificarNumeracao({{boa, kT0}, {ruim, kT0}, {alheia, kT0}, {ruim, kT0}}, kMatriz, 0);
  EXPECT_EQ(v.ChavesInvalidas, (std::vector<std::string>{ruim, alheia}));
  // Still a document: it fills its number.
  EXPECT_TRUE(v.Series.empty());
}

// Rows handed one at a time through one buffer, as the queue's listing
// hands them: nothing may point into the buffer afterwards.
TEST(LacunasTest, RowByRowFromAReusedBuffer) {
  std::string ruim = Chave(kMatriz, "65", 2, 8);
  ruim.back() = ruim.back() == '9' ? '0' : static_cast<char>(ruim.back() + 1);
  auto ids = Notas(kMatriz, "55", 1, {1, 4}) + Notas(kFilial, "55", 1, {2, 5}) +
             Notas(kMatriz, "65", 2, {1}) +
             std::vector<TIdentificadorFila>{{ruim, kT0}, {Inut(kMatriz, "55", 1, 2, 2), kT0}};
  TVerificadorNumeracao v(kMatriz);
  std::string buffer;
  for (const TIdentificadorFila& id : ids) {
    buffer = id.ChaveUnica;
    v.Adicionar(buffer, id.ID);
    buffer.assign(buffer.size(), '#');
  }
  TVerificacaoNumeracao r = v.Concluir(0);
  EXPECT_EQ(Descrever(r), Descrever(VerificarNumeracao(ids, kMatriz, 0)));
  EXPECT_EQ(Descrever(r),
            "12345678000190/55/1: 3 (1); 12345678000190/65/2: 2-7 (6); "
            "12345678000271/55/1: 3-4 (2)");
  EXPECT_EQ(r.ChavesInvalidas, (std::vector<std::string>{ruim}));
}

TEST(LacunasTest, DailyLineText) {
  TLacunasSerie s{kMatriz, "65", "1", {{120, 124}, {310, 310}}, 6};
  EXPECT_EQ(LinhaLacunas(s),
            "Numeracao com lacunas: CNPJ 12345678000190, modelo 65, serie 1: 120-124, 310 (6 "
            "numeros)");
  for (int i = 0; i < 60; ++i) s.Faixas.push_back({1000 + 2 * i, 1000 + 2 * i});
  std::string linha = LinhaLacunas(s);
  EXPECT_NE(linha.find(", 1094, ..."), std::string::npos) << linha;
  EXPECT_EQ(linha.find("1096"), std::string::npos) << linha;
}

}  // namespace
}  // namespace lumacor

#include "collect/ChaveAcesso.h"

#include <gtest/gtest.h>

#include <string>

namespace lumacor {
namespace {

// The example key of the NF-e integration manual, check digit 5.
const std::string kManual = "52060433009911002506550120000007800267301615";

TEST(ChaveAcessoTest, ValidAndWrongKeys) {
  struct Case {
    const char* nome;
    std::string chave;
    bool valida;
  } cases[] = {
      {"exemplo do manual", kManual, true},
      {"digito trocado", kManual.substr(0, 43) + "4", false},
      // Letters count by their code minus '0' ('A' is 17): a digit computed
      // with the letters as zeros would be 4.
      {"cnpj alfanumerico",
       "35260512ABC34500018055001000000123100000012"
       "9",
       true},
      {"cnpj alfanumerico, letras como zero",
       "35260512ABC34500018055001000000123100000012"
       "4",
       false},
      // Remainders 0 and 1 both give 0: 0 (all zeros) and 1 (a 6 at weight
      // 2 is 12).
      {"resto 0", std::string(44, '0'), true},
      {"resto 1", std::string(42, '0') + "60", true},
      {"43 caracteres", kManual.substr(0, 43), false},
      {"45 caracteres", kManual + "0", false},
      {"digito nao numerico", kManual.substr(0, 43) + "X", false},
      {"vazia", "", false},
  };
  for (const Case& c : cases) EXPECT_EQ(DigitoChaveValido(c.chave), c.valida) << c.nome;
}

// A single 1 among zeros gives 11 minus that position's weight: the weights
// run 2..9 from the right and start over, at every one of the 43 positions.
TEST(ChaveAcessoTest, EveryPositionHasItsWeight) {
  for (int i = 0; i < 43; ++i) {
    std::string k(43, '0');
    k[static_cast<size_t>(i)] = '1';
    int peso = 2 + (42 - i) % 8;
    EXPECT_EQ(DigitoVerificadorChave(k), 11 - peso) << "posicao " << i + 1;
  }
}

// Any single changed digit of the manual's key is caught, save where the
// new remainder is the other of 0 and 1.
TEST(ChaveAcessoTest, OneChangedCharacterIsCaught) {
  int pegas = 0;
  for (size_t i = 0; i < 44; ++i) {
    for (char d = '0'; d <= '9'; ++d) {
      if (d == kManual[i]) continue;
      std::string k = kManual;
      k[i] = d;
      pegas += DigitoChaveValido(k) ? 0 : 1;
    }
  }
  // 44 positions times 9 other digits; the manual's key has remainder 6,
  // so no change lands on the 0/1 ambiguity.
  EXPECT_EQ(pegas, 44 * 9);
}

}  // namespace
}  // namespace lumacor

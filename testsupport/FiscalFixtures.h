// The sample documents of a company with an alphanumeric CNPJ in
// collect/testdata, with what the agent must make of each.
#ifndef LUMACOR_TESTSUPPORT_FISCALFIXTURES_H_
#define LUMACOR_TESTSUPPORT_FISCALFIXTURES_H_

#include <string>
#include <vector>

namespace lumacor::testing {

constexpr const char kCnpjAlfa[] = "12ABC34501DE35";

struct FiscalFixture {
  enum Tipo { kDocumento, kCancelamento, kInutilizacao };
  const char* arquivo;
  std::string chave;
  Tipo tipo;
  bool homologacao;  // tpAmb 2: ignored unless enviar_homologacao=1
  bool entregue;     // the text that ends up in the queue for its key
};

inline const std::vector<FiscalFixture>& FiscalFixtures() {
  static const std::vector<FiscalFixture> fixtures = {
      // Three copies of one NF-e: only the authorised one is delivered.
      {"alfa_nfe_rascunho.xml", "35260812ABC34501DE35550010000001231100001230",
       FiscalFixture::kDocumento, false, false},
      {"alfa_nfe_proc.xml", "35260812ABC34501DE35550010000001231100001230",
       FiscalFixture::kDocumento, false, true},
      {"alfa_nfe_assinada.xml", "35260812ABC34501DE35550010000001231100001230",
       FiscalFixture::kDocumento, false, false},
      {"alfa_nfe_bare.xml", "35260812ABC34501DE35550010000001241100001245",
       FiscalFixture::kDocumento, false, true},
      {"alfa_nfce.xml", "35260812ABC34501DE35650020000000451100000455", FiscalFixture::kDocumento,
       false, true},
      {"alfa_cancelamento.xml", "35260812ABC34501DE35550010000001251100001250",
       FiscalFixture::kCancelamento, false, true},
      {"alfa_cancelamento_substituicao.xml", "35260812ABC34501DE35650020000000441100000440",
       FiscalFixture::kCancelamento, false, true},
      {"alfa_inutilizacao_proc.xml", "INUT-352612ABC34501DE3555001000000200000000210",
       FiscalFixture::kInutilizacao, false, true},
      {"alfa_inutilizacao_ret_sem_id.xml", "INUT-352612ABC34501DE3555001000000300000000310",
       FiscalFixture::kInutilizacao, false, true},
      // An export NF-e names the NF-e it exports; both keep their own key.
      {"alfa_nfe_exportacao.xml", "35260812ABC34501DE35550010000001301100001307",
       FiscalFixture::kDocumento, false, true},
      {"alfa_nfe_exportada.xml", "35260898XYZ76501AB46550030000090011100090015",
       FiscalFixture::kDocumento, false, true},
      {"alfa_nfe_homologacao.xml", "35260812ABC34501DE35550010000001401100001400",
       FiscalFixture::kDocumento, true, true},
  };
  return fixtures;
}

}  // namespace lumacor::testing

#endif  // LUMACOR_TESTSUPPORT_FISCALFIXTURES_H_

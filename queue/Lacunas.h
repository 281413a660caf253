// Numbering gaps: the numbers a company skipped in a series, found from
// the queue's identifiers alone (access keys and voiding identifiers),
// without reading any document text.
#ifndef LUMACOR_QUEUE_LACUNAS_H_
#define LUMACOR_QUEUE_LACUNAS_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace lumacor {

// One queue row as the gap check needs it.
struct TIdentificadorFila {
  std::string ChaveUnica;
  int64_t ID = 0;  // the row's id: ascending in the order rows entered the queue
};

// When the row of this id entered the queue, Unix seconds.
using TEntradaNaFila = std::function<int64_t(int64_t ID)>;

// Numbers Inicio..Fim, both included.
struct TFaixa {
  int64_t Inicio = 0;
  int64_t Fim = 0;
};

// The gaps of one issuer, model and series, lowest first.
struct TLacunasSerie {
  std::string CNPJ;    // the issuer's 14 characters
  std::string Modelo;  // "55", "65"
  std::string Serie;   // without leading zeros: "1"
  std::vector<TFaixa> Faixas;
  int64_t Numeros = 0;  // how many numbers the ranges hold
};

struct TVerificacaoNumeracao {
  std::vector<TLacunasSerie> Series;  // by CNPJ, model and series
  // Access keys (of any issuer) whose check digit is wrong, sorted.
  std::vector<std::string> ChavesInvalidas;
};

// The check built one row at a time, so that the queue's identifiers need
// not all be held at once: of each row only its numbers and id are kept.
class TVerificadorNumeracao {
 public:
  explicit TVerificadorNumeracao(std::string_view CNPJEmpresa);

  // One row; `ChaveUnica` need not outlive the call.
  void Adicionar(std::string_view ChaveUnica, int64_t ID);

  // The result for the rows added, as VerificarNumeracao gives it.
  TVerificacaoNumeracao Concluir(int DiasAtraso, const TEntradaNaFila& Entrada = nullptr);

 private:
  struct Intervalo {
    int64_t Inicio;
    int64_t Fim;
    int64_t ID;
  };

  std::string FRaiz;  // "" when the company's CNPJ has no root
  // By issuer, model and series (19 characters), in that order.
  std::map<std::string, std::vector<Intervalo>, std::less<>> FGrupos;
  int64_t FMaisNovo;  // the highest id of a row in FGrupos
  std::vector<std::string> FChavesInvalidas;
};

// The gaps in the numbering of the documents issued under the root (first
// 8 characters) of `CNPJEmpresa`: per issuer, model and series, the numbers
// between the lowest and the highest seen that are neither a document nor
// inside a voided range. Documents of other issuers are not checked. A gap
// counts from when the first number above it entered the queue; it is left
// out until the newest document of the company is `DiasAtraso` days newer
// (0 or less: reported at once, and `Entrada` is not called; otherwise it
// is asked only for the newest row and the first row above each gap). An
// identifier may occur more than once (a document and its cancellation):
// it counts once.
TVerificacaoNumeracao VerificarNumeracao(const std::vector<TIdentificadorFila>& Ids,
                                         std::string_view CNPJEmpresa, int DiasAtraso,
                                         const TEntradaNaFila& Entrada = nullptr);

// "120-124, 310": the first `Max` ranges, then ", ..." when there are more.
std::string DescreverFaixas(const std::vector<TFaixa>& Faixas, size_t Max);

// The daily log line of one series: "Numeracao com lacunas: CNPJ ...,
// modelo 65, serie 1: 120-124, 310 (6 numeros)", the first 50 ranges.
std::string LinhaLacunas(const TLacunasSerie& s);

}  // namespace lumacor

#endif  // LUMACOR_QUEUE_LACUNAS_H_

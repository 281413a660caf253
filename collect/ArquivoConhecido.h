// What a scan of the folders learned about one file, kept between cycles so
// that an unchanged file need not be read again.
#ifndef LUMACOR_COLLECT_ARQUIVOCONHECIDO_H_
#define LUMACOR_COLLECT_ARQUIVOCONHECIDO_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "collect/XmlRow.h"

namespace lumacor {

struct TArquivoConhecido {
  // What the file gave when it was read.
  enum TResultado { arNaoFiscal = 0, arSemChave = 1, arDocumento = 2 };
  enum TTipo { atDocumento = 0, atCancelamento = 1, atInutilizacao = 2 };

  std::string Caminho;
  // The metadata it was read with: any difference means it must be read
  // again. Device and inode also catch a file replaced by another (a
  // rename over it) that happens to look the same.
  int64_t Tamanho = 0;
  int64_t MtimeSegundos = 0;
  int64_t MtimeNanos = 0;
  int64_t CtimeSegundos = 0;
  int64_t CtimeNanos = 0;
  uint64_t Dispositivo = 0;
  uint64_t Inode = 0;

  int Resultado = arNaoFiscal;
  // Meaningful for arDocumento only.
  std::string Chave;
  std::string Hash;
  int Prioridade = 0;
  int Forca = 0;
  bool Homologacao = false;
  int Tipo = atDocumento;

  bool MesmosMetadados(const TArquivoConhecido& o) const {
    return Tamanho == o.Tamanho && MtimeSegundos == o.MtimeSegundos && MtimeNanos == o.MtimeNanos &&
           CtimeSegundos == o.CtimeSegundos && CtimeNanos == o.CtimeNanos &&
           Dispositivo == o.Dispositivo && Inode == o.Inode;
  }
  bool operator==(const TArquivoConhecido& o) const = default;
};

// Where the records live between cycles (the queue's database).
class TMemoriaDeArquivos {
 public:
  virtual ~TMemoriaDeArquivos() = default;
  // Hands every record to `Cada` with its id, keeping none of them.
  virtual void ParaCadaArquivo(
      const std::function<void(int64_t Id, const TArquivoConhecido&)>& Cada) = 0;
  // The record `Id`; nothing when there is none.
  virtual std::optional<TArquivoConhecido> LerArquivo(int64_t Id) = 0;
  // The CNPJ the records were stored for; empty when none was.
  virtual std::string LerDono() = 0;
  // Keeps the record of a file read by this run aside, out of memory,
  // until GravarArquivos or DescartarLidos; returns its id there.
  virtual int64_t GuardarLido(const TArquivoConhecido& a) = 0;
  // Drops every record kept aside.
  virtual void DescartarLidos() = 0;
  // Drops the records `esquecer` (ids), stores the records kept aside as
  // `lidos` (GuardarLido's ids), each replacing the record of its path
  // (which keeps its id), and records `dono` as their CNPJ, all or
  // nothing; then drops every record kept aside. Returns the ids of
  // `lidos`, in order.
  virtual std::vector<int64_t> GravarArquivos(const std::vector<int64_t>& lidos,
                                              const std::vector<int64_t>& esquecer,
                                              const std::string& dono) = 0;
};

// Gives the text of a row collected without it (an empty XML and a
// fingerprint): the same text the fingerprint was taken of, or nothing when
// that text can no longer be had (the file changed or went); the source
// reports why.
class TFonteDeTextos {
 public:
  virtual ~TFonteDeTextos() = default;
  virtual std::optional<std::string> TextoDe(const TXmlRow& row) = 0;
};

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_ARQUIVOCONHECIDO_H_

#include "collect/ChaveAcesso.h"

namespace lumacor {

int DigitoVerificadorChave(std::string_view Primeiros43) {
  int soma = 0;
  int peso = 2;
  for (size_t i = Primeiros43.size(); i-- > 0;) {
    soma += (static_cast<unsigned char>(Primeiros43[i]) - '0') * peso;
    peso = peso == 9 ? 2 : peso + 1;
  }
  int resto = soma % 11;
  return resto < 2 ? 0 : 11 - resto;
}

bool DigitoChaveValido(std::string_view Chave) {
  if (Chave.size() != 44) return false;
  char ultimo = Chave[43];
  if (ultimo < '0' || ultimo > '9') return false;
  return DigitoVerificadorChave(Chave.substr(0, 43)) == ultimo - '0';
}

}  // namespace lumacor

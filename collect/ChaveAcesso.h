// The check digit of a 44-character access key.
#ifndef LUMACOR_COLLECT_CHAVEACESSO_H_
#define LUMACOR_COLLECT_CHAVEACESSO_H_

#include <string_view>

namespace lumacor {

// Modulus 11 over `Primeiros43` (the key without its last character),
// weights 2 to 9 from the right, each character worth its code minus '0'
// so that the letters of an alphanumeric CNPJ count; remainders 0 and 1
// give 0. REQUIRES: Primeiros43.size() == 43.
int DigitoVerificadorChave(std::string_view Primeiros43);

// True when `Chave` has 44 characters and its last one is the check digit
// of the others.
bool DigitoChaveValido(std::string_view Chave);

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_CHAVEACESSO_H_

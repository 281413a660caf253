// The pieces both classifiers build their patterns from: the single scan
// and the plain patterns it is checked against must read keys alike.
#ifndef LUMACOR_COLLECT_NFEPADROES_H_
#define LUMACOR_COLLECT_NFEPADROES_H_

#include <string>

namespace lumacor {
namespace padroes {

// An element without attributes holding `value` (a pattern with one group),
// white space allowed around it.
inline std::string ElementPattern(const char* name, const std::string& value) {
  return std::string("<\\s*(?:[A-Za-z0-9_]+:)?") + name + "\\s*>\\s*" + value +
         "\\s*</\\s*(?:[A-Za-z0-9_]+:)?" + name + "\\s*>";
}

// The CNPJ inside keys and voiding identifiers: twelve characters that may
// be upper-case letters since the alphanumeric CNPJ, then two check digits.
// Letters stay upper-case only, whatever the caseless matching of the rest.
inline const std::string kCnpj = "(?-i:[0-9A-Z]{12})\\d{2}";
// An access key: cUF and AAMM, the CNPJ, then model, series, number,
// emission type, code and check digit.
inline const std::string kChave = "\\d{6}" + kCnpj + "\\d{24}";

}  // namespace padroes
}  // namespace lumacor

#endif  // LUMACOR_COLLECT_NFEPADROES_H_

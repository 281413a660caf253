#ifndef LUMACOR_COLLECT_XMLROW_H_
#define LUMACOR_COLLECT_XMLROW_H_

#include <string>
#include <vector>

namespace lumacor {

// One collected document.
struct TXmlRow {
  std::string ChaveUnica;  // the identifier; never empty
  std::string XML;         // the whole document, UTF-8
};

using TXmlRowArray = std::vector<TXmlRow>;

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_XMLROW_H_

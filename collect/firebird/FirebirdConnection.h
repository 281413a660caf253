// Firebird through the classic isc_* API of libfbclient, loaded at run
// time, so that 2.5 servers work as well as 3 and later.
#ifndef LUMACOR_COLLECT_FIREBIRD_FIREBIRDCONNECTION_H_
#define LUMACOR_COLLECT_FIREBIRD_FIREBIRDCONNECTION_H_

#include <cstdint>
#include <memory>
#include <string>

#include "collect/DBDriver.h"

namespace lumacor {

// Not connected yet; nothing is loaded until Connect.
std::unique_ptr<TDBConnection> NewFirebirdConnection(const TDBSettings& settings);

// The attachment text: "host/port:database", "host:database" when the
// port is 0, the bare database without a host.
std::string FirebirdAttachString(const TDBSettings& settings);

// Whether any error of a client status vector says that the attachment is
// gone (network, server or client shutdown, a handle the client dropped);
// the loss is not always the first error reported.
bool FirebirdConnectionLost(const intptr_t* status);

// Text of a Firebird DATE (days since 1858-11-17) as YYYY-MM-DD.
std::string FirebirdDateText(int32_t days);

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_FIREBIRD_FIREBIRDCONNECTION_H_

#pragma once

#include <cstddef>
#include <ctime>
#include <iterator>
#include <string>
#include <vector>

#include "reminder/certificate_memory.h"

namespace qe {

// Days before the end of validity at which the customer is reminded, the earliest first.
inline constexpr int kReminderDays[] = {60, 30, 14, 7, 3, 1};
// The bit of `RememberedCertificate::notified` for the notice sent once after the end.
inline constexpr unsigned kExpiredNotice = 1u << std::size(kReminderDays);

struct ExpiryNotice {
    std::size_t certificate = 0;  // index in the memory's certificates
    int days = 0;                 // the threshold reached; 0 once the certificate has expired
    unsigned bits = 0;            // to add to `notified` once the notice has reached the customer
};

// The notices due at `now`: for each certificate not replaced by a later one of the same holder,
// the nearest threshold it has reached, unless that one (or a nearer one) was sent already; a
// certificate past its end gets one last notice. Thresholds passed while no check ran are not
// sent late.
std::vector<ExpiryNotice> DueNotices(const CertificateMemory& memory, std::time_t now);

}  // namespace qe

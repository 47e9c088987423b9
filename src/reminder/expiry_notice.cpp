#include "reminder/expiry_notice.h"

#include <algorithm>
#include <iterator>

namespace qe {
namespace {

constexpr std::time_t kDay = 24 * 60 * 60;

// By a later certificate of the same holder; of two that end together, the one seen last stands.
bool Replaced(const CertificateMemory& memory, std::size_t index) {
    const RememberedCertificate& mine = memory.certificates[index];
    for (std::size_t other = 0; other < memory.certificates.size(); ++other) {
        const RememberedCertificate& c = memory.certificates[other];
        if (c.subject == mine.subject &&
            (c.notAfter > mine.notAfter || (c.notAfter == mine.notAfter && other > index))) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<ExpiryNotice> DueNotices(const CertificateMemory& memory, std::time_t now) {
    std::vector<ExpiryNotice> due;
    for (std::size_t index = 0; index < memory.certificates.size(); ++index) {
        const RememberedCertificate& certificate = memory.certificates[index];
        if (Replaced(memory, index)) {
            continue;
        }
        const std::time_t left = certificate.notAfter - now;
        ExpiryNotice notice{index};
        if (left <= 0) {
            notice.bits = kExpiredNotice | (kExpiredNotice - 1);
        } else {
            // The nearest threshold reached, with every earlier one: those are not sent late.
            for (std::size_t i = 0; i < std::size(kReminderDays); ++i) {
                if (left <= kReminderDays[i] * kDay) {
                    notice.days = kReminderDays[i];
                    notice.bits = (2u << i) - 1;
                }
            }
        }
        // Sent once the nearest bit is there: a threshold reached while another was being
        // shown counts as shown.
        const unsigned nearest = notice.bits & ~(notice.bits >> 1);
        if (notice.bits != 0 && (certificate.notified & nearest) == 0) {
            due.push_back(notice);
        }
    }
    return due;
}

}  // namespace qe

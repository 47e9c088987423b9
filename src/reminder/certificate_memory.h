#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/bytes.h"

namespace qe {

// What the expiry reminder knows of a customer's certificate, kept after its token is unplugged.
struct RememberedCertificate {
    std::string issuer;   // issuer name DER, hex
    std::string serial;   // serial number as the server knows it
    std::string subject;  // subject name DER, hex: the same holder has the same one
    std::string holder;   // the subject's common name, for the notification
    std::time_t notAfter = 0;
    unsigned notified = 0;  // ExpiryNotice bits already sent
};

// The authority's issuers (as the rekey host named them) and the certificates of theirs seen on
// tokens. The file lives in $XDG_STATE_HOME/quorvane-enroll/ (~/.local/state when unset).
struct CertificateMemory {
    std::vector<std::string> issuers;  // hex DER names
    std::vector<RememberedCertificate> certificates;

    // Adds the issuers not known yet; true when one was added.
    bool LearnIssuers(const std::vector<Bytes>& issuerNames);
    // Adds or refreshes the certificates among `ders` issued by a known issuer; true when the
    // memory changed.
    bool Remember(const std::vector<Bytes>& ders);
};

// "$XDG_STATE_HOME/quorvane-enroll/certificates", or below ~/.local/state; empty without a home.
std::string CertificateMemoryPath();

// Holds the memory's lock (a file beside it) for as long as it lives, so a check at login and one
// from the timer never both send the same notice. Waits for a holder to finish.
class CertificateMemoryLock {
public:
    explicit CertificateMemoryLock(const std::string& memoryPath);
    ~CertificateMemoryLock();
    CertificateMemoryLock(const CertificateMemoryLock&) = delete;
    CertificateMemoryLock& operator=(const CertificateMemoryLock&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Reads the file; a missing file is an empty memory, lines it cannot read are skipped.
CertificateMemory LoadCertificateMemory(const std::string& path);
// Writes the whole memory to a new file and renames it over the old one; false on failure.
bool SaveCertificateMemory(const std::string& path, const CertificateMemory& memory);

// What the wizard does on each status check: the issuers it learned and the certificates it read
// from the token, merged into the memory under its lock. Failures are only logged: the reminder
// must never stop a renewal.
void RememberCertificates(const std::vector<Bytes>& issuerNames, const std::vector<Bytes>& ders);

}  // namespace qe

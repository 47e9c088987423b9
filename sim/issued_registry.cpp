#include "sim/issued_registry.h"

#include <algorithm>
#include <cctype>

#include "sim/atomic_file.h"
#include "sim/cert_util.h"

namespace qe::sim {
namespace {

std::string PathFor(const std::string& stateDir, std::string serialHex) {
    std::transform(serialHex.begin(), serialHex.end(), serialHex.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return stateDir + "/issued/" + serialHex + ".pem";
}

}  // namespace

bool RecordIssued(const std::string& stateDir, X509* certificate) {
    return EnsureDirectory(stateDir + "/issued") &&
           WriteFileAtomically(PathFor(stateDir, SerialHex(certificate)),
                               CertificatePem(certificate), 0644);
}

X509Ptr FindIssued(const std::string& stateDir, const std::string& serialHex) {
    // The text becomes part of a path: only hexadecimal digits get that far.
    if (!IsSerialHex(serialHex)) {
        return nullptr;
    }
    const std::optional<std::string> pem = ReadWholeFile(PathFor(stateDir, serialHex));
    return pem ? CertificateFromPem(*pem) : nullptr;
}

}  // namespace qe::sim

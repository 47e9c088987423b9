#include "reminder/certificate_memory.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <openssl/x509.h>

#include "log/enroll_log.h"
#include "log/temp_dir.h"
#include "toolkit/openssl_ptr.h"

namespace qe {
namespace {

constexpr const char* kFileHeader = "quorvane-enroll certificates 1";

template <typename T, int (*Encode)(const T*, unsigned char**)>
std::string DerHex(const T* object) {
    unsigned char* der = nullptr;
    const int size = Encode(object, &der);
    if (size <= 0) {
        return {};
    }
    std::string hex = ToHexLower(der, static_cast<std::size_t>(size));
    OPENSSL_free(der);
    return hex;
}

// The last common name, or the whole name on one line; tabs and line ends would break the file.
std::string HolderName(const X509_NAME* subject) {
    std::string text;
    const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    unsigned char* utf8 = nullptr;
    const int size = at < 0
                         ? -1
                         : ASN1_STRING_to_UTF8(
                               &utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)));
    if (size > 0) {
        text.assign(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(size));
    } else {
        char line[256];
        text = X509_NAME_oneline(subject, line, sizeof line);
    }
    OPENSSL_free(utf8);
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
    return text;
}

std::optional<RememberedCertificate> Describe(const Bytes& der) {
    const unsigned char* p = der.data();
    const X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    std::tm end{};
    if (!certificate || ASN1_TIME_to_tm(X509_get0_notAfter(certificate.get()), &end) != 1) {
        return std::nullopt;
    }
    RememberedCertificate remembered;
    remembered.issuer = DerHex<X509_NAME, i2d_X509_NAME>(X509_get_issuer_name(certificate.get()));
    // The INTEGER's content octets, as the server and the log write the serial number.
    const std::string serial =
        DerHex<ASN1_INTEGER, i2d_ASN1_INTEGER>(X509_get0_serialNumber(certificate.get()));
    const std::size_t lengthOctets = serial.size() > 4 && serial[2] >= '8' ? serial[3] - '0' : 0;
    remembered.serial = serial.substr(std::min(serial.size(), 4 + 2 * lengthOctets));
    remembered.subject = DerHex<X509_NAME, i2d_X509_NAME>(X509_get_subject_name(certificate.get()));
    remembered.holder = HolderName(X509_get_subject_name(certificate.get()));
    remembered.notAfter = timegm(&end);
    return remembered;
}

}  // namespace

bool CertificateMemory::LearnIssuers(const std::vector<Bytes>& issuerNames) {
    bool changed = false;
    for (const Bytes& name : issuerNames) {
        const std::string hex = ToHexLower(name);
        if (!hex.empty() && std::find(issuers.begin(), issuers.end(), hex) == issuers.end()) {
            issuers.push_back(hex);
            changed = true;
        }
    }
    return changed;
}

bool CertificateMemory::Remember(const std::vector<Bytes>& ders) {
    bool changed = false;
    for (const Bytes& der : ders) {
        std::optional<RememberedCertificate> seen = Describe(der);
        if (!seen || std::find(issuers.begin(), issuers.end(), seen->issuer) == issuers.end()) {
            continue;
        }
        auto known = std::find_if(certificates.begin(), certificates.end(), [&](const auto& c) {
            return c.issuer == seen->issuer && c.serial == seen->serial;
        });
        if (known == certificates.end()) {
            certificates.push_back(std::move(*seen));
            changed = true;
        } else if (known->notAfter != seen->notAfter || known->holder != seen->holder) {
            seen->notified = known->notified;
            *known = std::move(*seen);
            changed = true;
        }
    }
    return changed;
}

std::string CertificateMemoryPath() {
    const std::string dir = StateDir();
    return dir.empty() ? dir : dir + "/certificates";
}

CertificateMemoryLock::CertificateMemoryLock(const std::string& memoryPath) {
    if (memoryPath.empty()) {
        return;
    }
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(memoryPath).parent_path(), error);
    fd_ = open((memoryPath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

CertificateMemoryLock::~CertificateMemoryLock() {
    if (fd_ >= 0) {
        close(fd_);  // releases the lock
    }
}

// One line a fact: "issuer HEX", or "certificate ISSUER SERIAL SUBJECT NOT_AFTER NOTIFIED HOLDER"
// with tabs between the fields.
CertificateMemory LoadCertificateMemory(const std::string& path) {
    CertificateMemory memory;
    std::ifstream in(path);
    std::string line;
    if (!std::getline(in, line) || line != kFileHeader) {
        return memory;
    }
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) {
            fields.push_back(field);
        }
        if (fields.size() == 2 && fields[0] == "issuer") {
            memory.issuers.push_back(fields[1]);
        } else if (fields.size() == 7 && fields[0] == "certificate") {
            RememberedCertificate c{fields[1], fields[2], fields[3], fields[6]};
            char* end = nullptr;
            c.notAfter = static_cast<std::time_t>(std::strtoll(fields[4].c_str(), &end, 10));
            const bool timeRead = *end == '\0' && !fields[4].empty();
            c.notified = static_cast<unsigned>(std::strtoul(fields[5].c_str(), &end, 10));
            if (timeRead && *end == '\0' && !fields[5].empty()) {
                memory.certificates.push_back(std::move(c));
            }
        }
    }
    return memory;
}

bool SaveCertificateMemory(const std::string& path, const CertificateMemory& memory) {
    if (path.empty()) {
        return false;
    }
    std::ostringstream out;
    out << kFileHeader << '\n';
    for (const std::string& issuer : memory.issuers) {
        out << "issuer\t" << issuer << '\n';
    }
    for (const RememberedCertificate& c : memory.certificates) {
        out << "certificate\t" << c.issuer << '\t' << c.serial << '\t' << c.subject << '\t'
            << static_cast<long long>(c.notAfter) << '\t' << c.notified << '\t' << c.holder << '\n';
    }
    // Holders' names and serial numbers are the user's own business.
    return ReplaceFile(path, out.str());
}

void RememberCertificates(const std::vector<Bytes>& issuerNames, const std::vector<Bytes>& ders) {
    const std::string path = CertificateMemoryPath();
    const CertificateMemoryLock lock(path);
    if (!lock.held()) {
        Log().Write("Expiry reminder: no memory file");
        return;
    }
    CertificateMemory memory = LoadCertificateMemory(path);
    const bool learned = memory.LearnIssuers(issuerNames);
    if ((memory.Remember(ders) || learned) && !SaveCertificateMemory(path, memory)) {
        Log().Write("Expiry reminder: the memory file could not be written");
    }
}

}  // namespace qe

#include "sim/pki.h"

#include <optional>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include "sim/atomic_file.h"
#include "sim/cert_issuer.h"
#include "sim/cert_util.h"

namespace qe::sim {
namespace {

constexpr unsigned kKeyBits = 2048;
constexpr const char* kOrganization = "Quorvane Demo";

struct KeyPair {
    X509Ptr certificate;
    PkeyPtr key;
};

// Holds an exclusive lock on a file for the scope; serve and provision-token may start together.
class DirectoryLock {
public:
    explicit DirectoryLock(const std::string& path)
        : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~DirectoryLock() {
        if (fd_ >= 0) {
            close(fd_);  // releases the lock
        }
    }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_;
};

X509NamePtr MakeName(const char* commonName) {
    X509NamePtr name(X509_NAME_new());
    if (!name ||
        X509_NAME_add_entry_by_NID(name.get(), NID_countryName, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>("RO"), -1, -1, 0) != 1 ||
        X509_NAME_add_entry_by_NID(name.get(), NID_organizationName, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(kOrganization), -1, -1,
                                   0) != 1 ||
        X509_NAME_add_entry_by_NID(name.get(), NID_commonName, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                                   0) != 1) {
        return nullptr;
    }
    return name;
}

// Both files absent: nothing and no error. One of them absent, unreadable or not matching the
// other: nothing and `error` set.
std::optional<KeyPair> LoadPair(const std::string& base, std::string& error) {
    const std::optional<std::string> certPem = ReadWholeFile(base + ".pem");
    const std::optional<std::string> keyPem = ReadWholeFile(base + ".key");
    if (!certPem && !keyPem) {
        return std::nullopt;
    }
    KeyPair pair;
    if (certPem) {
        pair.certificate = CertificateFromPem(*certPem);
    }
    if (keyPem) {
        pair.key = PrivateKeyFromPem(*keyPem);
    }
    if (!pair.certificate || !pair.key ||
        X509_check_private_key(pair.certificate.get(), pair.key.get()) != 1) {
        error = "damaged certificate or key: " + base;
        return std::nullopt;
    }
    return pair;
}

bool StorePair(const std::string& base, KeyPair& pair) {
    return WriteFileAtomically(base + ".key", PrivateKeyPem(pair.key.get()), 0600) &&
           WriteFileAtomically(base + ".pem", CertificatePem(pair.certificate.get()), 0644);
}

std::optional<KeyPair> CreatePair(const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
                                  long days, std::vector<std::pair<int, std::string>> extensions) {
    KeyPair pair;
    pair.key.reset(EVP_RSA_gen(kKeyBits));
    X509NamePtr name = MakeName(commonName);
    if (!pair.key || !name) {
        return std::nullopt;
    }
    CertificateSpec spec;
    spec.subject = name.get();
    spec.publicKey = pair.key.get();
    spec.issuer = issuer;
    spec.signingKey = issuerKey != nullptr ? issuerKey : pair.key.get();
    spec.validDays = days;
    spec.extensions = std::move(extensions);
    pair.certificate = MakeCertificate(spec);
    if (!pair.certificate) {
        return std::nullopt;
    }
    return pair;
}

bool IsAnyAddress(const std::string& host) {
    return host.empty() || host == "0.0.0.0" || host == "::";
}

bool Covers(X509* certificate, const std::string& host) {
    if (IsAnyAddress(host)) {
        return true;
    }
    Asn1OctetStringPtr ip(a2i_IPADDRESS(host.c_str()));
    if (ip) {
        return X509_check_ip_asc(certificate, host.c_str(), 0) == 1;
    }
    return X509_check_host(certificate, host.c_str(), host.size(), 0, nullptr) == 1;
}

std::string TlsAltNames(const std::string& host) {
    std::string names = "DNS:localhost,IP:127.0.0.1,IP:::1";
    if (!IsAnyAddress(host) && host != "localhost" && host != "127.0.0.1" && host != "::1") {
        Asn1OctetStringPtr ip(a2i_IPADDRESS(host.c_str()));
        names += (ip ? ",IP:" : ",DNS:") + host;
    }
    return names;
}

}  // namespace

std::optional<Pki> LoadOrCreatePki(const std::string& stateDir, const std::string& bindHost,
                                   std::string& error) {
    const std::string dir = stateDir + "/pki";
    if (!EnsureDirectory(stateDir) || !EnsureDirectory(dir)) {
        error = "cannot create the directory " + dir;
        return std::nullopt;
    }
    DirectoryLock lock(dir + "/.lock");
    if (!lock.held()) {
        error = "cannot lock " + dir;
        return std::nullopt;
    }

    std::optional<KeyPair> root = LoadPair(dir + "/root-ca", error);
    if (!error.empty()) {
        return std::nullopt;
    }
    if (!root) {
        root = CreatePair("Quorvane Demo Root CA", nullptr, nullptr, 3650,
                          {{NID_basic_constraints, "critical,CA:TRUE"},
                           {NID_key_usage, "critical,keyCertSign,cRLSign"},
                           {NID_subject_key_identifier, "hash"}});
        if (!root || !StorePair(dir + "/root-ca", *root)) {
            error = "cannot create the root CA in " + dir;
            return std::nullopt;
        }
    }

    std::optional<KeyPair> issuing = LoadPair(dir + "/issuing-ca", error);
    if (!error.empty()) {
        return std::nullopt;
    }
    if (issuing &&
        X509_check_issued(root->certificate.get(), issuing->certificate.get()) != X509_V_OK) {
        error = "the issuing CA in " + dir + " was not issued by the root CA there";
        return std::nullopt;
    }
    if (!issuing) {
        issuing =
            CreatePair("Quorvane Demo Qualified CA", root->certificate.get(), root->key.get(), 3650,
                       {{NID_basic_constraints, "critical,CA:TRUE,pathlen:0"},
                        {NID_key_usage, "critical,keyCertSign,cRLSign"},
                        {NID_subject_key_identifier, "hash"},
                        {NID_authority_key_identifier, "keyid:always"}});
        if (!issuing || !StorePair(dir + "/issuing-ca", *issuing)) {
            error = "cannot create the issuing CA in " + dir;
            return std::nullopt;
        }
    }

    std::optional<KeyPair> tls = LoadPair(dir + "/tls", error);
    if (!error.empty()) {
        return std::nullopt;
    }
    if (!tls || !Covers(tls->certificate.get(), bindHost) ||
        X509_check_issued(root->certificate.get(), tls->certificate.get()) != X509_V_OK) {
        tls = CreatePair("localhost", root->certificate.get(), root->key.get(), 825,
                         {{NID_basic_constraints, "critical,CA:FALSE"},
                          {NID_key_usage, "critical,digitalSignature,keyEncipherment"},
                          {NID_ext_key_usage, "serverAuth"},
                          {NID_subject_alt_name, TlsAltNames(bindHost)},
                          {NID_subject_key_identifier, "hash"},
                          {NID_authority_key_identifier, "keyid:always"}});
        if (!tls || !StorePair(dir + "/tls", *tls)) {
            error = "cannot create the TLS certificate in " + dir;
            return std::nullopt;
        }
    }

    Pki pki;
    pki.caBundlePath = dir + "/ca.pem";
    const std::string bundle = CertificatePem(root->certificate.get());
    if (ReadWholeFile(pki.caBundlePath) != bundle &&
        !WriteFileAtomically(pki.caBundlePath, bundle, 0644)) {
        error = "cannot write " + pki.caBundlePath;
        return std::nullopt;
    }
    pki.rootCa = std::move(root->certificate);
    pki.rootKey = std::move(root->key);
    pki.issuingCa = std::move(issuing->certificate);
    pki.issuingKey = std::move(issuing->key);
    pki.tlsCertificate = std::move(tls->certificate);
    pki.tlsKey = std::move(tls->key);
    return pki;
}

}  // namespace qe::sim

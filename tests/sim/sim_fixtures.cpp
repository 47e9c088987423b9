#include "sim/sim_fixtures.h"

#include <stdexcept>

#include <openssl/cms.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "sim/cert_issuer.h"
#include "sim/cert_util.h"
#include "sim/issued_registry.h"
#include "sim/subject_text.h"
#include "support/scoped_dir.h"

namespace qe::test {

PkeyPtr NewRsaKey(unsigned bits) {
    return PkeyPtr(EVP_RSA_gen(bits));
}

std::string PemOf(X509* certificate) {
    return sim::CertificatePem(certificate);
}
std::string PemOf(EVP_PKEY* key) {
    return sim::PrivateKeyPem(key);
}

SoftwareCustomer MakeSoftwareCustomer(const std::string& stateDir, const std::string& subject,
                                      const std::string& fileStem) {
    std::string error;
    std::optional<sim::Pki> pki = sim::LoadOrCreatePki(stateDir, "127.0.0.1", error);
    X509NamePtr name = sim::ParseSubjectText(subject, error);
    if (!pki || !name) {
        throw std::runtime_error("cannot make a customer: " + error);
    }
    SoftwareCustomer customer;
    customer.key = NewRsaKey();
    customer.certificate =
        sim::IssueCustomerCertificate(*pki, name.get(), customer.key.get(), nullptr);
    if (!customer.certificate || !sim::RecordIssued(stateDir, customer.certificate.get())) {
        throw std::runtime_error("cannot issue the customer's certificate");
    }
    customer.serialHex = sim::SerialHex(customer.certificate.get());
    customer.keyPath = fileStem + ".key";
    customer.certPath = fileStem + ".pem";
    WriteFile(customer.keyPath, PemOf(customer.key.get()));
    WriteFile(customer.certPath, PemOf(customer.certificate.get()));
    return customer;
}

std::string MakeRequestPem(EVP_PKEY* key, const std::string& subject, const GENERAL_NAMES* altNames,
                           const EVP_MD* digest) {
    std::string error;
    X509NamePtr name =
        subject.empty() ? X509NamePtr(X509_NAME_new()) : sim::ParseSubjectText(subject, error);
    X509ReqPtr request(X509_REQ_new());
    if (!name || !request || X509_REQ_set_version(request.get(), X509_REQ_VERSION_1) != 1 ||
        X509_REQ_set_subject_name(request.get(), name.get()) != 1 ||
        X509_REQ_set_pubkey(request.get(), key) != 1) {
        throw std::runtime_error("cannot build a request");
    }
    if (altNames != nullptr) {
        STACK_OF(X509_EXTENSION)* extensions = sk_X509_EXTENSION_new_null();
        X509_EXTENSION* extension =
            X509V3_EXT_i2d(NID_subject_alt_name, 0, const_cast<GENERAL_NAMES*>(altNames));
        sk_X509_EXTENSION_push(extensions, extension);
        X509_REQ_add_extensions(request.get(), extensions);
        sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
    }
    if (X509_REQ_sign(request.get(), key, digest) <= 0) {
        throw std::runtime_error("cannot sign a request");
    }
    BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509_REQ(bio.get(), request.get());
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    std::string crlf;
    for (long i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            crlf += "\r\n";
        } else {
            crlf.push_back(data[i]);
        }
    }
    return crlf;
}

std::optional<Bytes> OpenDelivery(const Bytes& delivery, EVP_PKEY* key, X509* certificate) {
    BioPtr in(BIO_new_mem_buf(delivery.data(), static_cast<int>(delivery.size())));
    OpenSslPtr<CMS_ContentInfo, CMS_ContentInfo_free> cms(d2i_CMS_bio(in.get(), nullptr));
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!cms || CMS_decrypt(cms.get(), key, certificate, nullptr, out.get(), CMS_BINARY) != 1) {
        return std::nullopt;
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return Bytes(data, data + size);
}

}  // namespace qe::test

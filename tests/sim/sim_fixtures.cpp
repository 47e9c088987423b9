#include "sim/sim_fixtures.h"

#include <regex>
#include <stdexcept>

#include <openssl/cms.h>
#include <openssl/pem.h>

#include "sim/cert_issuer.h"
#include "sim/issued_registry.h"
#include "sim/subject_text.h"
#include "support/scoped_dir.h"

namespace qe::test {

SoftwareCustomer MakeSoftwareCustomer(const std::string& stateDir, const std::string& subject,
                                      const std::string& fileStem) {
    std::string error;
    const std::optional<sim::Pki> pki = sim::LoadOrCreatePki(stateDir, "127.0.0.1", error);
    const X509NamePtr name = sim::ParseSubjectText(subject, error);
    SoftwareCustomer customer{NewRsaKey(), nullptr, fileStem + ".key", fileStem + ".pem"};
    if (pki && name) {
        customer.certificate =
            sim::IssueCustomerCertificate(*pki, name.get(), customer.key.get(), nullptr);
    }
    if (!customer.certificate || !sim::RecordIssued(stateDir, customer.certificate.get())) {
        throw std::runtime_error("cannot issue a customer's certificate: " + error);
    }
    WriteFile(customer.keyPath, sim::PrivateKeyPem(customer.key.get()));
    WriteFile(customer.certPath, sim::CertificatePem(customer.certificate.get()));
    return customer;
}

std::string MakeRequestPem(EVP_PKEY* key, const std::string& subject, const GENERAL_NAMES* altNames,
                           const EVP_MD* digest) {
    std::string error;
    const X509NamePtr name =
        subject.empty() ? X509NamePtr(X509_NAME_new()) : sim::ParseSubjectText(subject, error);
    X509ReqPtr request(X509_REQ_new());
    STACK_OF(X509_EXTENSION)* extensions = sk_X509_EXTENSION_new_null();
    if (altNames != nullptr) {
        sk_X509_EXTENSION_push(extensions, X509V3_EXT_i2d(NID_subject_alt_name, 0,
                                                          const_cast<GENERAL_NAMES*>(altNames)));
        X509_REQ_add_extensions(request.get(), extensions);
    }
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!name || X509_REQ_set_subject_name(request.get(), name.get()) != 1 ||
        X509_REQ_set_pubkey(request.get(), key) != 1 ||
        X509_REQ_sign(request.get(), key, digest) <= 0 ||
        PEM_write_bio_X509_REQ(bio.get(), request.get()) != 1) {
        throw std::runtime_error("cannot build a request");
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    // CR LF line ends, as the wizard uploads it.
    return std::regex_replace(std::string(data, static_cast<std::size_t>(size)), std::regex("\n"),
                              "\r\n");
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

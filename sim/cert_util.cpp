#include "sim/cert_util.h"

#include <cctype>
#include <cstdio>
#include <ctime>

#include <openssl/err.h>
#include <openssl/pem.h>

namespace qe::sim {
namespace {

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

}  // namespace

Bytes SerialOctets(const ASN1_INTEGER* serial) {
    unsigned char* der = nullptr;
    const int size = i2d_ASN1_INTEGER(serial, &der);
    Bytes out;
    if (size > 2) {
        const std::uint8_t* p = der;
        long length = 0;
        int tag = 0;
        int cls = 0;
        if (!(ASN1_get_object(&p, &length, &tag, &cls, size) & 0x80)) {
            out.assign(p, p + length);
        }
    }
    OPENSSL_free(der);
    return out;
}

std::string SerialHex(const X509* certificate) {
    return ToHexLower(SerialOctets(X509_get0_serialNumber(certificate)));
}

bool IsSerialHex(std::string_view text) {
    if (text.empty() || text.size() % 2 != 0 || text.size() > 64) {
        return false;
    }
    for (const char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
            return false;
        }
    }
    return true;
}

std::string CertificatePem(X509* certificate) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1) {
        return {};
    }
    return BioText(bio.get());
}

Bytes CertificateDer(X509* certificate) {
    unsigned char* der = nullptr;
    const int size = i2d_X509(certificate, &der);
    Bytes out;
    if (size > 0) {
        out.assign(der, der + size);
    }
    OPENSSL_free(der);
    return out;
}

X509Ptr CertificateFromPem(std::string_view pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return X509Ptr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

X509Ptr CertificateFromDer(const Bytes& der) {
    const unsigned char* p = der.data();
    X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    // Trailing bytes mean it was not one certificate.
    if (certificate && p != der.data() + der.size()) {
        certificate.reset();
    }
    return certificate;
}

std::string PrivateKeyPem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return {};
    }
    return BioText(bio.get());
}

PkeyPtr PrivateKeyFromPem(std::string_view pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return PkeyPtr(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::string CommonName(const X509_NAME* name) {
    std::string value;
    for (int i = -1; (i = X509_NAME_get_index_by_NID(name, NID_commonName, i)) >= 0;) {
        const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i));
        unsigned char* utf8 = nullptr;
        const int size = ASN1_STRING_to_UTF8(&utf8, data);
        value = size >= 0
                    ? std::string(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(size))
                    : std::string();
        OPENSSL_free(utf8);
    }
    return value;
}

std::string NameLine(const X509_NAME* name) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    // One line, "C=RO, O=…", UTF-8 left as it is rather than escaped.
    const unsigned long flags = XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB & ~XN_FLAG_SPC_EQ;
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, flags) < 0) {
        return {};
    }
    return BioText(bio.get());
}

std::string DateText(const ASN1_TIME* time) {
    struct tm parts {};
    if (ASN1_TIME_to_tm(time, &parts) != 1) {
        return {};
    }
    char text[48];
    std::snprintf(text, sizeof text, "%02d.%02d.%04d", parts.tm_mday, parts.tm_mon + 1,
                  parts.tm_year + 1900);
    return text;
}

std::string TakeOpenSslErrors() {
    std::string text;
    char line[256];
    for (unsigned long code = ERR_get_error(); code != 0; code = ERR_get_error()) {
        ERR_error_string_n(code, line, sizeof line);
        if (!text.empty()) {
            text += "; ";
        }
        text += line;
    }
    return text;
}

}  // namespace qe::sim

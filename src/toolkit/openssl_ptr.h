#pragma once

#include <memory>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace qe {

template <typename T, void (*Free)(T*)>
struct OpenSslDeleter {
    void operator()(T* object) const noexcept { Free(object); }
};

template <typename T, void (*Free)(T*)>
using OpenSslPtr = std::unique_ptr<T, OpenSslDeleter<T, Free>>;

using BioPtr = OpenSslPtr<BIO, BIO_free_all>;
using BignumPtr = OpenSslPtr<BIGNUM, BN_free>;
using CipherCtxPtr = OpenSslPtr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using MdCtxPtr = OpenSslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using PkeyPtr = OpenSslPtr<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtxPtr = OpenSslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using X509Ptr = OpenSslPtr<X509, X509_free>;
using X509NamePtr = OpenSslPtr<X509_NAME, X509_NAME_free>;
using X509ReqPtr = OpenSslPtr<X509_REQ, X509_REQ_free>;
using X509ExtensionPtr = OpenSslPtr<X509_EXTENSION, X509_EXTENSION_free>;
using GeneralNamesPtr = OpenSslPtr<GENERAL_NAMES, GENERAL_NAMES_free>;
using Asn1OctetStringPtr = OpenSslPtr<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>;
using Asn1ObjectPtr = OpenSslPtr<ASN1_OBJECT, ASN1_OBJECT_free>;

}  // namespace qe

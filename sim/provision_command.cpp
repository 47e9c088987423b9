#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>

#include "sim/cert_issuer.h"
#include "sim/cert_util.h"
#include "sim/commands.h"
#include "sim/issued_registry.h"
#include "sim/pkcs11_token.h"
#include "sim/pki.h"
#include "sim/subject_text.h"
#include "toolkit/rsa_public_key.h"
#include "toolkit/secret.h"

namespace qe::sim {
namespace {

constexpr const char* kUsage =
    "usage: quorvane-authority-sim provision-token --state DIR --module PATH --slot-label LABEL "
    "--pin PIN --subject \"C=RO,O=…,CN=…\" [--email ADDR] [--upn UPN] [--always-authenticate] "
    "[--other-programs]\n";
constexpr CK_ULONG kKeyBits = 2048;
constexpr const char* kUpnOid = "1.3.6.1.4.1.311.20.2.3";

// The PIN is taken out of the argument list and its copy there blanked, so that it does not stay
// readable in the process's command line. A flag stands alone and is kept with an empty value.
bool ParseOptions(int argc, char** args, std::map<std::string, std::string>& options, Secret& pin) {
    for (int i = 0; i < argc; i += 2) {
        const std::string name = args[i];
        if (name == "--always-authenticate" || name == "--other-programs") {
            options[name] = "";
            --i;
            continue;
        }
        if (i + 1 >= argc) {
            return false;
        }
        if (name == "--pin") {
            pin = Secret(args[i + 1]);
            Wipe(args[i + 1], std::strlen(args[i + 1]));
            continue;
        }
        if (name != "--state" && name != "--module" && name != "--slot-label" &&
            name != "--subject" && name != "--email" && name != "--upn") {
            return false;
        }
        options[name] = args[i + 1];
    }
    return !pin.empty() && options.count("--state") != 0 && options.count("--module") != 0 &&
           options.count("--slot-label") != 0 && options.count("--subject") != 0;
}

// Hands `name` to the list, or frees it when the list cannot take it.
bool Push(GENERAL_NAMES* names, GENERAL_NAME* name) {
    if (sk_GENERAL_NAME_push(names, name) > 0) {
        return true;
    }
    GENERAL_NAME_free(name);
    return false;
}

bool AddEmail(GENERAL_NAMES* names, const std::string& email) {
    GENERAL_NAME* name = GENERAL_NAME_new();
    ASN1_IA5STRING* value = ASN1_IA5STRING_new();
    if (name == nullptr || value == nullptr ||
        ASN1_STRING_set(value, email.data(), static_cast<int>(email.size())) != 1) {
        GENERAL_NAME_free(name);
        ASN1_IA5STRING_free(value);
        return false;
    }
    GENERAL_NAME_set0_value(name, GEN_EMAIL, value);
    return Push(names, name);
}

bool AddUpn(GENERAL_NAMES* names, const std::string& upn) {
    GENERAL_NAME* name = GENERAL_NAME_new();
    ASN1_OBJECT* oid = OBJ_txt2obj(kUpnOid, 1);
    ASN1_TYPE* value = ASN1_TYPE_new();
    ASN1_UTF8STRING* text = ASN1_UTF8STRING_new();
    if (name == nullptr || oid == nullptr || value == nullptr || text == nullptr ||
        ASN1_STRING_set(text, upn.data(), static_cast<int>(upn.size())) != 1) {
        GENERAL_NAME_free(name);
        ASN1_OBJECT_free(oid);
        ASN1_TYPE_free(value);
        ASN1_UTF8STRING_free(text);
        return false;
    }
    ASN1_TYPE_set(value, V_ASN1_UTF8STRING, text);
    if (GENERAL_NAME_set0_othername(name, oid, value) != 1) {
        GENERAL_NAME_free(name);
        ASN1_OBJECT_free(oid);
        ASN1_TYPE_free(value);
        return false;
    }
    return Push(names, name);
}

Bytes NameDer(const X509_NAME* name) {
    unsigned char* der = nullptr;
    const int size = i2d_X509_NAME(name, &der);
    Bytes out = size > 0 ? Bytes(der, der + size) : Bytes();
    OPENSSL_free(der);
    return out;
}

Bytes IntegerDer(const ASN1_INTEGER* value) {
    unsigned char* der = nullptr;
    const int size = i2d_ASN1_INTEGER(value, &der);
    Bytes out = size > 0 ? Bytes(der, der + size) : Bytes();
    OPENSSL_free(der);
    return out;
}

Bytes Sha1(const Bytes& data) {
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &size, EVP_sha1(), nullptr) != 1) {
        return {};
    }
    digest.resize(size);
    return digest;
}

// What other programs keep on a customer's token, named so that a careless search would take it
// for the wizard's: key pairs with its provisional labels, its old fixed identifier, a prefix and
// a suffix of that; an AES key and a data object; another certificate.
bool AddOtherProgramsObjects(Pkcs11Session& session, const Pki& pki, std::string& error) {
    const std::tuple<const char*, const char*, const char*> pairs[] = {
        {"OBJECT ID 00112233445566778899aabbccddeeff", "Tarnwick Public Key",
         "Tarnwick Private Key"},
        {"OBJECT ID", "Alt", "Alt"},
        {"OBJECT I", "Alt", "Alt"},
        {"ID", "Alt", "Alt"}};
    for (const auto& [id, publicLabel, privateLabel] : pairs) {
        CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
        CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
        if (!session.GenerateRsaKeyPair(1024, publicLabel, false, publicKey, privateKey, error) ||
            !session.SetAttribute(publicKey, CKA_ID, ToBytes(id), error) ||
            !session.SetAttribute(privateKey, CKA_ID, ToBytes(id), error) ||
            !session.SetAttribute(privateKey, CKA_LABEL, ToBytes(privateLabel), error)) {
            return false;
        }
    }
    // Some tokens (a TPM's) keep neither secret keys nor data objects: those are left out.
    for (const bool secretKey : {true, false}) {
        if (!session.CreateOtherObject(secretKey, "Tarnwick Private Key", error)) {
            std::fprintf(stderr, "quorvane-authority-sim provision-token: left out: %s\n",
                         error.c_str());
        }
    }
    X509* other = pki.tlsCertificate.get();
    return session.CreateCertificate(CertificateDer(other), NameDer(X509_get_subject_name(other)),
                                     NameDer(X509_get_issuer_name(other)),
                                     IntegerDer(X509_get0_serialNumber(other)),
                                     ToBytes("OBJECT ID"), "Tarnwick Public Key", error);
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "quorvane-authority-sim provision-token: %s\n", message.c_str());
    return 1;
}

}  // namespace

int RunProvisionToken(int argc, char** args) {
    std::map<std::string, std::string> options;
    Secret pin;
    if (!ParseOptions(argc, args, options, pin)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string error;
    X509NamePtr subject = ParseSubjectText(options["--subject"], error);
    if (!subject) {
        std::fprintf(stderr, "quorvane-authority-sim provision-token: subject: %s\n%s",
                     error.c_str(), kUsage);
        return 2;
    }
    GeneralNamesPtr altNames(sk_GENERAL_NAME_new_null());
    if (!altNames ||
        (options.count("--email") != 0 && !AddEmail(altNames.get(), options["--email"])) ||
        (options.count("--upn") != 0 && !AddUpn(altNames.get(), options["--upn"]))) {
        return Fail("cannot build the alternative names");
    }

    const std::string stateDir = options["--state"];
    std::optional<Pki> pki = LoadOrCreatePki(stateDir, "127.0.0.1", error);
    if (!pki) {
        return Fail(error);
    }

    std::unique_ptr<Pkcs11Module> module = Pkcs11Module::Load(options["--module"], error);
    CK_SLOT_ID slot = 0;
    if (!module || !module->FindSlotByLabel(options["--slot-label"], slot, error)) {
        return Fail(error);
    }
    Pkcs11Session session(*module, slot);
    if (!session.OpenAndLogin(pin, error)) {
        return Fail(error);
    }
    pin.Clear();

    std::string label = CommonName(subject.get());
    if (label.empty()) {
        label = "Quorvane";
    }
    CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
    Bytes modulus;
    Bytes exponent;
    if (!session.GenerateRsaKeyPair(kKeyBits, label, options.count("--always-authenticate") != 0,
                                    publicKey, privateKey, error) ||
        !session.ReadAttribute(publicKey, CKA_MODULUS, modulus, error) ||
        !session.ReadAttribute(publicKey, CKA_PUBLIC_EXPONENT, exponent, error)) {
        return Fail(error);
    }
    PkeyPtr key = RsaPublicKey(modulus, exponent);
    if (!key) {
        return Fail("the token's public key cannot be read: " + TakeOpenSslErrors());
    }
    X509Ptr certificate = IssueCustomerCertificate(*pki, subject.get(), key.get(), altNames.get());
    if (!certificate) {
        return Fail("cannot issue the certificate: " + TakeOpenSslErrors());
    }

    // The identifier installed certificates get too: SHA-1 of the modulus.
    const Bytes id = Sha1(modulus);
    if (id.empty() || !session.SetAttribute(publicKey, CKA_ID, id, error) ||
        !session.SetAttribute(privateKey, CKA_ID, id, error) ||
        !session.CreateCertificate(
            CertificateDer(certificate.get()), NameDer(X509_get_subject_name(certificate.get())),
            NameDer(X509_get_issuer_name(certificate.get())),
            IntegerDer(X509_get0_serialNumber(certificate.get())), id, label, error)) {
        return Fail(error);
    }
    if (options.count("--other-programs") != 0 && !AddOtherProgramsObjects(session, *pki, error)) {
        return Fail(error);
    }
    if (!RecordIssued(stateDir, certificate.get())) {
        return Fail("cannot record the certificate in " + stateDir);
    }
    std::printf("%s\n", SerialHex(certificate.get()).c_str());
    return 0;
}

}  // namespace qe::sim

// Writing a certificate to the token, removing one, reading the token's certificate store, and
// decrypting and signing with a key on the token.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include "log/last_error.h"
#include "support/freed_memory.h"
#include "support/outside_step.h"
#include "support/process_log.h"
#include "support/softhsm.h"
#include "support/test_pki.h"
#include "token/pki.h"
#include "token/token_certificate.h"
#include "token/token_crypto.h"
#include "token/token_status.h"
#include "toolkit/der.h"
#include "toolkit/error_id.h"
#include "toolkit/rsa_public_key.h"
#include "toolkit/status.h"

namespace qe {
namespace {

using test::FaultModuleLibrary;
using Values = std::multiset<Bytes>;

// The listed token with this label.
zel_token Listed(const std::string& label, const std::string& module = FaultModuleLibrary()) {
    for (const zel_token& token : test::ListedTokens(module)) {
        if (LabelText(token) == label) {
            return token;
        }
    }
    throw std::runtime_error("no token " + label);
}

bool Verifies(EVP_PKEY* key, const Bytes& data, const Bytes& signature) {
    const MdCtxPtr context(EVP_MD_CTX_new());
    return EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
           EVP_DigestVerify(context.get(), signature.data(), signature.size(), data.data(),
                            data.size()) == 1;
}

constexpr const char* kSecret = "delivery-key-4711-marker";

// One token with two key pairs: a spare one first, so that every search must pick the right one.
class TokenObjectsTest : public ::testing::Test {
protected:
    void SetUp() override {
        hsm_.InitToken("Alpha", "1234");
        test::SoftHsm::Session session("Alpha", "1234");
        session.GenerateRsaKeyPair(1024, "spare");
        modulus_ = session.GenerateRsaKeyPair(1024, "OBJECT ID");
        exponent_ = session.PublicExponent(modulus_);
        SHA1(modulus_.data(), modulus_.size(), sha1_.data());
        key_ = RsaPublicKey(modulus_, exponent_);
        const PkeyCtxPtr context(EVP_PKEY_CTX_new(key_.get(), nullptr));
        std::size_t size = 256;
        ciphertext_.resize(size);
        EVP_PKEY_encrypt_init(context.get());
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING);
        EVP_PKEY_encrypt(context.get(), ciphertext_.data(), &size,
                         reinterpret_cast<const unsigned char*>(kSecret), std::strlen(kSecret));
        ciphertext_.resize(size);
    }

    void Faults(const std::string& text) { hsm_.WriteFaultConfig(text + "\n"); }
    Bytes Issue(const test::SubjectEntries& subject, const Bytes& serial,
                const test::TestCa& ca = Ca()) {
        return ca.Issue(modulus_, exponent_, subject, serial);
    }
    static Values Certificates(const std::string& label = "Alpha") {
        test::SoftHsm::Session session(label, "1234");
        Values values;
        for (const CK_OBJECT_HANDLE object : session.Find(CKO_CERTIFICATE)) {
            values.insert(session.Attribute(object, CKA_VALUE));
        }
        return values;
    }
    // One CA for the whole run: its key takes a moment to generate.
    static const test::TestCa& Ca() {
        static const test::TestCa ca;
        return ca;
    }

    test::SoftHsm hsm_;
    Bytes modulus_, exponent_;
    Bytes sha1_ = Bytes(SHA_DIGEST_LENGTH);
    PkeyPtr key_;
    Bytes ciphertext_;
    Secret pin_{"1234"};
};

// The label comes from the last common name (else a fixed default); the identifier is the
// SHA-1 of the modulus, as upper-case hex text for the OCSCryptoki library (either spelling).
TEST_F(TokenObjectsTest, InstallWritesThePublicCertificateAndNamesItsKeysAfterIt) {
    for (const char* name :
         {"libsofthsm2.so", "libOCSCryptoki.so", "libocscryptoki.so", "libOcsCryptoki.so"}) {
        std::filesystem::create_symlink(test::SoftHsmLibrary(), hsm_.dir() + "/" + name);
    }
    const Bytes hex = ToBytes(ToHexUpper(sha1_));
    const std::tuple<std::string, test::SubjectEntries, Bytes, std::string, Bytes> cases[] = {
        {"libsofthsm2.so", {{"CN", "Ion"}, {"CN", "Ion Ștefan"}}, {0x92}, "Ion Ștefan", sha1_},
        {"libOCSCryptoki.so", {{"C", "RO"}, {"O", "Nobody"}}, {0x12, 0x34}, "Quorvane", hex},
        {"libocscryptoki.so", {{"CN", "Ion"}, {"CN", ""}}, {0x7F}, "Quorvane", hex},
        {"libOcsCryptoki.so", {{"CN", "Ion"}}, {0x7E}, "Ion", sha1_},
    };
    for (const auto& [module, subject, serial, label, id] : cases) {
        SCOPED_TRACE(module);
        const Bytes der = Issue(subject, serial);
        ASSERT_EQ(CPKI(test::NoTokenStep())
                      .InstallCertificate(Listed("Alpha", hsm_.dir() + "/" + module), pin_, der),
                  CKR_OK);
        test::SoftHsm::Session session("Alpha", "1234");
        int named = 0;
        for (const CK_OBJECT_CLASS objectClass :
             {CKO_CERTIFICATE, CKO_PRIVATE_KEY, CKO_PUBLIC_KEY}) {
            for (const CK_OBJECT_HANDLE object :
                 session.Find(objectClass, objectClass == CKO_CERTIFICATE ? Bytes() : modulus_)) {
                if (objectClass == CKO_CERTIFICATE && session.Attribute(object, CKA_VALUE) != der) {
                    continue;
                }
                ++named;
                EXPECT_EQ(ToString(session.Attribute(object, CKA_LABEL)), label);
                EXPECT_EQ(session.Attribute(object, CKA_ID), id);
                if (objectClass == CKO_CERTIFICATE) {
                    EXPECT_EQ(session.Attribute(object, CKA_SERIAL_NUMBER),
                              DerUnsignedInteger(serial));
                    EXPECT_EQ(session.Attribute(object, CKA_PRIVATE), test::BoolBytes(false));
                }
            }
        }
        EXPECT_EQ(named, 3);
    }
    const Bytes last = Issue({{"CN", "Ion"}}, {0x77});
    Faults("fail C_SetAttributeValue 0x30");
    EXPECT_EQ(CPKI(test::NoTokenStep()).InstallCertificate(Listed("Alpha"), pin_, last),
              CKR_DEVICE_ERROR);
    EXPECT_EQ(Certificates().size(), 4u);
}

// Only a certificate of the same issuer and serial number is replaced, and a failed or refused
// write never costs the token a certificate it held. Each row on a token of its own, which holds
// another authority's certificate, one of another serial number and, when given, one of the same
// issuer and serial number.
TEST_F(TokenObjectsTest, InstallReplacesTheSameIssuerAndSerialOnlyAndFailuresCostNothing) {
    const Bytes fresh = Issue({{"CN", "Ion"}, {"O", "Nou"}}, {0x12, 0x34});
    const Bytes older = Issue({{"CN", "Ion"}}, {0x12, 0x34});
    const Bytes otherSerial = Issue({{"CN", "Ion"}}, {0x12, 0x35});
    const Bytes otherIssuer = Issue({{"CN", "Ion"}}, {0x12, 0x34}, test::TestCa("Another CA"));
    const Bytes garbage = Bytes(fresh.begin(), fresh.end() - 1);
    // Rows: the faults, the certificate held, the result, the certificate kept beside the others.
    const std::tuple<const char*, const Bytes*, CK_RV, const Bytes*> cases[] = {
        {"", &older, CKR_OK, &fresh},
        {"fail-after C_CreateObject 0x30", &older, CKR_OK, &fresh},  // found there afterwards
        {"fail C_CreateObject 0xd0 times 1", &older, 0xd0, &older},
        {"fail C_CreateObject 0xd1 times 1", &older, CKR_OK, &fresh},  // room made first
        {"fail C_CreateObject 0x13 times 1", &older, CKR_OK, &fresh},
        {"fail C_CreateObject 0x80000000 times 1", &older, CKR_OK, &fresh},
        {"fail C_CreateObject 0x31 times 2", &older, CKR_DEVICE_MEMORY, &older},  // written back
        {"fail C_CreateObject 0x31\nfail C_DestroyObject 0x30", &older, CKR_DEVICE_MEMORY, &older},
        {"fail C_CreateObject 0x31\nfail C_FindObjectsInit 0x30 skip 6 times 1", nullptr,
         CKR_DEVICE_MEMORY, nullptr},
        {"fail C_FindObjectsInit 0x30 skip 1", &older, CKR_DEVICE_ERROR, &older},
        {"fail C_FindObjects 0x30 skip 1", &older, CKR_DEVICE_ERROR, &older},
        {"fail-after C_GetTokenInfo 0x80000002", &older, CKR_OK, &fresh},  // a vendor's "usable"
        // One already there (a run cut short after writing it) is not written again: cards
        // refuse a second copy.
        {"fail C_CreateObject 0x30", &fresh, CKR_OK, &fresh},
    };
    // A wrong PIN, and what is not a certificate, change nothing either.
    EXPECT_EQ(CPKI(test::NoTokenStep()).InstallCertificate(Listed("Alpha"), Secret("0000"), fresh),
              CKR_PIN_INCORRECT);
    EXPECT_EQ(CPKI(test::NoTokenStep()).InstallCertificate(Listed("Alpha"), pin_, garbage),
              static_cast<CK_RV>(kToolkitDecodeError));
    EXPECT_EQ(Certificates(), Values{});
    using Lines = std::vector<std::string>;
    const Lines already = {"[T] The new certificate is on the token already"};
    int row = 0;
    for (const auto& [faults, held, rv, kept] : cases) {
        SCOPED_TRACE(faults);
        const std::string label = "Row" + std::to_string(row++);
        hsm_.InitToken(label, "1234");
        {
            test::SoftHsm::Session session(label, "1234");
            for (const Bytes* der : {&otherIssuer, &otherSerial, held}) {
                if (der != nullptr) {
                    session.CreateCertificate(*der, {}, "held");
                }
            }
        }
        Faults("");
        const zel_token token = Listed(label);
        Faults(faults);
        const test::ProcessLog log;
        EXPECT_EQ(CPKI(test::NoTokenStep()).InstallCertificate(token, pin_, fresh), rv);
        EXPECT_EQ(log.Lines("on the token already"), held == &fresh ? already : Lines());
        Values left{otherIssuer, otherSerial};
        if (kept != nullptr) {
            left.insert(*kept);
        }
        EXPECT_EQ(Certificates(label), left);
    }
}

TEST_F(TokenObjectsTest, RemoveDestroysEveryExactCopyAndNothingElse) {
    const zel_token token = test::ListedTokens().at(0);
    const Bytes old = Issue({{"CN", "Old"}}, {0x01});
    const Bytes other = Issue({{"CN", "Other"}}, {0x02});
    const Bytes prefix(other.begin(), other.end() - 1);
    // Rows: the certificates on the token, the one removed, and the certificates left. The
    // login and the token's choice are the installation's, checked there; a failing call of the
    // removal is the download fault sweep's (the old certificate still there after "done").
    const std::tuple<std::vector<Bytes>, Bytes, Values> cases[] = {
        {{old, other, old}, old, {other}},
        {{other}, prefix, {other}},
    };
    for (const auto& [stored, removed, left] : cases) {
        {
            test::SoftHsm::Session session("Alpha", "1234");
            for (const CK_OBJECT_HANDLE object : session.Find(CKO_CERTIFICATE)) {
                session.fn()->C_DestroyObject(session.handle(), object);
            }
            for (const Bytes& der : stored) {
                session.CreateCertificate(der, ToBytes("id"), "label");
            }
        }
        EXPECT_EQ(CPKI(test::NoTokenStep()).RemoveCertificate(token, pin_, removed), CKR_OK);
        EXPECT_EQ(Certificates(), left);
    }
}

// The store keeps C_FindObjects' order, reads without a login (which fails here), and keeps a
// certificate whose identifier cannot be read: its key is then found by its modulus. Any
// failure is 8 and leaves the store as it was; a token that cannot be reached is also the
// system's "no smart card" error.
TEST_F(TokenObjectsTest, StoreHoldsTheTokensCertificatesInFindOrder) {
    const std::vector<Bytes> stored = {Issue({{"CN", "First"}}, {0x01}),
                                       Issue({{"CN", "Second"}}, {0x02})};
    {
        test::SoftHsm::Session session("Alpha", "1234");
        session.CreateCertificate(stored[0], ToBytes("id-1"), "first");
        session.CreateCertificate(stored[1], ToBytes("id-2"), "second");
    }
    hsm_.WriteModuleList({"libmissing-pkcs11.so", FaultModuleLibrary()});
    for (const char* faults :
         {"fail C_Login 0x100", "fail C_GetAttributeValue 0x12 skip 2 times 1"}) {
        Faults(faults);
        std::vector<TokenCertificate> store;
        ASSERT_EQ(GetSmartCardStore(test::NoTokenStep(), store), ERR_SUCCESS);
        // The values in the order the handles came, from the record of this very search.
        std::vector<std::string> handles;
        std::map<std::string, Bytes> valueOf;
        for (const test::RecordedCall& call : hsm_.RecordedCalls()) {
            if (call.name == "C_FindObjects" && call.fields.at("found") == "1") {
                handles.push_back(call.fields.at("objects"));
            } else if (call.name == "C_GetAttributeValue" && !call.templates.empty() &&
                       call.templates[0][0].first == CKA_VALUE) {
                valueOf[call.fields.at("object")] = call.templates[0][0].second;
            }
        }
        hsm_.ClearRecord();
        ASSERT_EQ(store.size(), 2u);
        for (std::size_t i = 0; i < store.size(); ++i) {
            EXPECT_EQ(store[i].der, valueOf[handles.at(i)]);
            const bool idRead = i != 0 || std::string(faults).find("C_Login") != std::string::npos;
            EXPECT_EQ(store[i].id,
                      idRead ? ToBytes(store[i].der == stored[0] ? "id-1" : "id-2") : Bytes());
            EXPECT_EQ(store[i].token.modulePath, FaultModuleLibrary());
        }
    }
    // With a second token, selecting one fails before the store is read.
    const zel_token listed = test::ListedTokens().at(0);
    hsm_.InitToken("Beta", "1234");
    // Rows: the faults, the last error, the library (empty: the listed one) and whether the
    // store is that of the one token selected.
    const std::tuple<const char*, std::uint32_t, std::string, bool> failures[] = {
        {"[token Alpha]\nabsent", kNoSmartCardError, "", false},
        {"fail C_OpenSession 0x32", kNoSmartCardError, "", false},
        {"fail C_OpenSession 0x3", kNoSmartCardError, "", false},
        {"", kNoSmartCardError, "libmissing-pkcs11.so", false},
        {"", kNoSmartCardError, "libz.so.1", false},
        {"fail C_OpenSession 0x30", CKR_DEVICE_ERROR, "", false},
        {"fail C_FindObjects 0x30", CKR_DEVICE_ERROR, "", false},
        {"fail C_GetAttributeValue 0x30", CKR_DEVICE_ERROR, "", false},
        {"absent", kNoSmartCardError, "", true},
        {"", kNoSmartCardError, "", true},
    };
    for (const auto& [faults, lastError, module, select] : failures) {
        SCOPED_TRACE(faults + module);
        Faults(faults);
        zel_token token = listed;
        token.modulePath = module.empty() ? token.modulePath : module;
        std::vector<TokenCertificate> store(1);
        SetLastSystemError(0, "");
        EXPECT_EQ(select ? GetSmartCardStore(test::NoTokenStep(), store)
                         : GetSmartCardStore(test::NoTokenStep(), token, store),
                  ERR_TOKEN_DEVICE);
        EXPECT_EQ(GetLastSystemError().code, lastError);
        EXPECT_EQ(store.size(), 1u);
    }
}

// The key is found by its modulus (leading zero octets of the identifier dropped). A result is
// whole (the plaintext, a signature that verifies) or the output stays empty, and nothing of the
// plaintext is left in memory given back.
TEST_F(TokenObjectsTest, DecryptAndSignGiveTheWholeResultOrNothing) {
    Bytes unknown = modulus_;
    unknown.back() ^= 1;
    Bytes padded = modulus_;
    padded.insert(padded.begin(), 2, 0x00);
    const struct {
        const char* faults;
        bool sign;
        CK_RV rv;
        const Bytes* id = nullptr;  // default: the key's modulus
        const char* pin = "1234";
    } cases[] = {
        {"", false, CKR_OK},
        {"", true, CKR_OK},
        // What comes in must be empty, and stays as it came.
        {"", false, kTokenOutputNotEmpty},
        {"", true, kTokenOutputNotEmpty},
        {"", false, CKR_OK, &padded},
        // A private key that tells no modulus: found by its public key's identifier.
        {"private-modulus-hidden", false, CKR_OK},
        {"", false, kTokenNoTokenOrKey, &unknown},
        {"", true, kTokenSignKeyNotFound, &unknown},
        {"", true, CKR_PIN_INCORRECT, nullptr, "9999"},
        // Only the listed token: not the spare slot when it is gone.
        {"[token Alpha]\nabsent", false, CKR_TOKEN_NOT_PRESENT},
        {"fail C_FindObjectsInit 0x30", false, CKR_DEVICE_ERROR},
        {"fail C_FindObjects 0x30", true, CKR_DEVICE_ERROR},
        {"hide-mechanism CKM_RSA_PKCS", false, CKR_MECHANISM_INVALID},
        // A token that only pads gets the DigestInfo: the same signature.
        {"hide-mechanism CKM_SHA256_RSA_PKCS", true, CKR_OK},
        {"hide-mechanism CKM_SHA256_RSA_PKCS CKM_RSA_PKCS", true, CKR_MECHANISM_INVALID},
        {"fail C_Decrypt 0x40", false, CKR_ENCRYPTED_DATA_INVALID},
        {"fail C_Decrypt 0x150 times 1", false, CKR_BUFFER_TOO_SMALL},  // no room it names
        {"fail-after C_CloseSession 0x30", false, CKR_DEVICE_ERROR},    // the close decides
    };
    // Its certificate has the key's identifier, as on cards: never taken for the key.
    test::SoftHsm::Session("Alpha", "1234")
        .CreateCertificate(Issue({{"CN", "Ion"}}, {0x01}), ToBytes("OBJECT ID"), "Ion");
    const zel_token alpha = Listed("Alpha");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.faults) + (c.sign ? " sign" : " decrypt"));
        Faults(c.faults);
        const auto use = c.sign ? TokenSign : TokenDecrypt;
        const Bytes given = c.rv == kTokenOutputNotEmpty ? Bytes{1} : Bytes();
        Bytes out = given;
        {
            test::FreedMemoryWatch watch(kSecret);
            const test::ProcessLog log;
            EXPECT_EQ(use(test::NoTokenStep(), alpha, c.id != nullptr ? *c.id : modulus_,
                          Secret(c.pin), ciphertext_, out),
                      c.rv);
            EXPECT_EQ(watch.hits(), 0);
            EXPECT_EQ(log.Lines("found by its identifier").size(),
                      std::string(c.faults) == "private-modulus-hidden" ? 1u : 0u);
        }
        if (c.rv != CKR_OK) {
            EXPECT_EQ(out, given);
        } else if (c.sign) {
            EXPECT_TRUE(Verifies(key_.get(), ciphertext_, out));
        } else {
            EXPECT_EQ(ToString(out), kSecret);
        }
    }
    // Two keys of that modulus: which one the delivery is for is not known.
    Faults("");
    {
        test::SoftHsm::Session session("Alpha", "1234");
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE onToken{CKA_TOKEN, &yes, sizeof yes};
        CK_OBJECT_HANDLE copy = CK_INVALID_HANDLE;
        ASSERT_EQ(session.fn()->C_CopyObject(session.handle(),
                                             session.Find(CKO_PRIVATE_KEY, modulus_).at(0),
                                             &onToken, 1, &copy),
                  CKR_OK);
    }
    Bytes out;
    EXPECT_EQ(TokenSign(test::NoTokenStep(), alpha, modulus_, Secret("1234"), ciphertext_, out),
              kTokenSignKeyNotFound);
}

}  // namespace
}  // namespace qe

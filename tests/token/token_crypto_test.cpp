#include "token/token_crypto.h"

#include <gtest/gtest.h>

#include <cstring>

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "support/freed_memory.h"
#include "support/softhsm.h"
#include "token/token_status.h"
#include "toolkit/rsa_public_key.h"

namespace qe {
namespace {

constexpr const char* kSecret = "delivery-key-4711-marker";

class TokenCryptoTest : public ::testing::Test {
protected:
    void SetUp() override {
        hsm_.InitToken("Alpha", "1234");
        test::SoftHsm::Session session("Alpha", "1234");
        // A spare key pair first, so the search must pick the right one.
        session.GenerateRsaKeyPair(1024, "spare");
        modulus_ = session.GenerateRsaKeyPair(1024, "mine");
        key_ = RsaPublicKey(modulus_, session.PublicExponent(modulus_));
        const PkeyCtxPtr context(EVP_PKEY_CTX_new(key_.get(), nullptr));
        std::size_t size = 256;
        ciphertext_.resize(size);
        EVP_PKEY_encrypt_init(context.get());
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING);
        EVP_PKEY_encrypt(context.get(), ciphertext_.data(), &size,
                         reinterpret_cast<const unsigned char*>(kSecret), std::strlen(kSecret));
        ciphertext_.resize(size);
    }

    bool Verifies(const Bytes& data, const Bytes& signature) const {
        const MdCtxPtr context(EVP_MD_CTX_new());
        return EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key_.get()) ==
                   1 &&
               EVP_DigestVerify(context.get(), signature.data(), signature.size(), data.data(),
                                data.size()) == 1;
    }

    test::SoftHsm hsm_;
    Bytes modulus_;
    PkeyPtr key_;
    Bytes ciphertext_;
};

// The key found by its modulus (leading zero octets of the identifier dropped) decrypts, and
// nothing of the plaintext is left in memory given back.
TEST_F(TokenCryptoTest, DecryptsAndSignsWithTheKeyOfThatModulus) {
    Bytes padded(2, 0x00);
    padded.insert(padded.end(), modulus_.begin(), modulus_.end());
    for (const Bytes& id : {modulus_, padded}) {
        Bytes plaintext;
        {
            test::FreedMemoryWatch watch(kSecret);
            ASSERT_EQ(TokenDecrypt(test::FaultModuleLibrary(), id, Secret("1234"), ciphertext_,
                                   plaintext),
                      CKR_OK);
            EXPECT_EQ(watch.hits(), 0);
        }
        EXPECT_EQ(ToString(plaintext), kSecret);
        const Bytes data = ToBytes("Declar pe propria răspundere că accept condițiile.");
        Bytes signature;
        ASSERT_EQ(TokenSign(test::FaultModuleLibrary(), id, Secret("1234"), data, signature),
                  CKR_OK);
        EXPECT_EQ(signature.size(), modulus_.size());
        EXPECT_TRUE(Verifies(data, signature));
    }
}

TEST_F(TokenCryptoTest, EachFailureKeepsTheOutputEmpty) {
    Bytes unknown = modulus_;
    unknown.back() ^= 1;
    const struct {
        const char* faults;
        bool sign;
        CK_RV rv;
        const Bytes* id = nullptr;  // default: the key's modulus
        const char* pin = "1234";
        const char* module = nullptr;  // default: the fault module
    } cases[] = {
        {"", false, kTokenNoTokenOrKey, &unknown},
        {"", true, kTokenSignKeyNotFound, &unknown},
        {"", false, CKR_PIN_INCORRECT, nullptr, "9999"},
        {"", true, CKR_PIN_INCORRECT, nullptr, "9999"},
        {"", false, kModuleNotLoaded, nullptr, "1234", "libmissing-pkcs11.so"},
        {"", true, kNoFunctionList, nullptr, "1234", "libz.so.1"},
        // The first slot is used whatever it holds: with Alpha gone the spare one, whose
        // uninitialised token refuses the session; with no token at all there is no slot.
        {"[token Alpha]\nabsent", false, CKR_TOKEN_NOT_RECOGNIZED},
        {"absent", false, kTokenNoTokenOrKey},
        {"absent", true, kTokenNoTokenOrKey},
        {"fail-after C_Initialize 0x191", true, CKR_CRYPTOKI_ALREADY_INITIALIZED},
        {"fail C_FindObjectsInit 0x30", false, CKR_DEVICE_ERROR},
        {"fail C_FindObjects 0x30", true, CKR_DEVICE_ERROR},
        {"hide-mechanism CKM_RSA_PKCS", false, CKR_MECHANISM_INVALID},
        {"hide-mechanism CKM_SHA256_RSA_PKCS", true, CKR_MECHANISM_INVALID},
        {"fail C_Decrypt 0x40", false, CKR_ENCRYPTED_DATA_INVALID},
        {"fail C_Decrypt 0x40 skip 1", false, CKR_ENCRYPTED_DATA_INVALID},
        {"fail-after C_Sign 0x150 times 1", true, CKR_OK},  // a length answered so
        {"sign-length 65536", true, CKR_OK},
        {"sign-length 65537", true, kTokenNoMemory},  // far beyond any key: a library fault
        {"fail-after C_CloseSession 0x30", false, CKR_DEVICE_ERROR},  // the close decides
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.faults) + (c.sign ? " sign" : " decrypt"));
        hsm_.WriteFaultConfig(std::string(c.faults) + "\n");
        const auto use = c.sign ? TokenSign : TokenDecrypt;
        Bytes out;
        EXPECT_EQ(use(c.module != nullptr ? c.module : test::FaultModuleLibrary(),
                      c.id != nullptr ? *c.id : modulus_, Secret(c.pin), ciphertext_, out),
                  c.rv);
        EXPECT_EQ(out.empty(), c.rv != CKR_OK);
    }
    // What comes in must be empty, and stays as it came.
    for (const auto use : {TokenSign, TokenDecrypt}) {
        Bytes full{1};
        EXPECT_EQ(use(test::FaultModuleLibrary(), modulus_, Secret("1234"), ciphertext_, full),
                  kTokenOutputNotEmpty);
        EXPECT_EQ(full, Bytes{1});
    }
}

}  // namespace
}  // namespace qe

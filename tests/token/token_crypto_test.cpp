#include "token/token_crypto.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "support/softhsm.h"
#include "support/softhsm_certs.h"
#include "token/token_status.h"

namespace qe {
namespace {

using test::SoftHsm;
using ::testing::ElementsAre;

Bytes EncryptFor(const Bytes& modulus, const Bytes& exponent, const Bytes& plaintext) {
    const PkeyPtr key = test::RsaPublicKey(modulus, exponent);
    const PkeyCtxPtr context(EVP_PKEY_CTX_new(key.get(), nullptr));
    EVP_PKEY_encrypt_init(context.get());
    EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING);
    std::size_t size = 0;
    EVP_PKEY_encrypt(context.get(), nullptr, &size, plaintext.data(), plaintext.size());
    Bytes ciphertext(size);
    EXPECT_EQ(EVP_PKEY_encrypt(context.get(), ciphertext.data(), &size, plaintext.data(),
                               plaintext.size()),
              1);
    ciphertext.resize(size);
    return ciphertext;
}

bool Verifies(const Bytes& modulus, const Bytes& exponent, const Bytes& data,
              const Bytes& signature) {
    const PkeyPtr key = test::RsaPublicKey(modulus, exponent);
    const MdCtxPtr context(EVP_MD_CTX_new());
    return EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
           EVP_DigestVerify(context.get(), signature.data(), signature.size(), data.data(),
                            data.size()) == 1;
}

class TokenCryptoTest : public ::testing::Test {
protected:
    void SetUp() override {
        hsm_.InitToken("Alpha", "1234");
        test::SoftHsm::Session session("Alpha", "1234");
        // A spare key pair first, so the search must pick the right one.
        session.GenerateRsaKeyPair(1024, "spare");
        modulus_ = session.GenerateRsaKeyPair(1024, "mine");
        exponent_ = session.PublicExponent(modulus_);
    }

    SoftHsm hsm_;
    Bytes modulus_;
    Bytes exponent_;
    Secret pin_{"1234"};
    const Bytes key24_ = Bytes(24, 0x5A);
};

TEST_F(TokenCryptoTest, DecryptsWithTheKeyOfThatModulus) {
    const Bytes ciphertext = EncryptFor(modulus_, exponent_, key24_);
    Bytes plaintext;
    ASSERT_EQ(TokenDecrypt(test::SoftHsmLibrary(), modulus_, pin_, ciphertext, plaintext), CKR_OK);
    EXPECT_EQ(plaintext, key24_);
}

TEST_F(TokenCryptoTest, LeadingZeroOctetsOfTheIdentifierAreDropped) {
    Bytes padded(modulus_.size() + 2, 0x00);
    std::copy(modulus_.begin(), modulus_.end(), padded.begin() + 2);
    const Bytes ciphertext = EncryptFor(modulus_, exponent_, key24_);
    Bytes plaintext;
    ASSERT_EQ(TokenDecrypt(test::SoftHsmLibrary(), padded, pin_, ciphertext, plaintext), CKR_OK);
    EXPECT_EQ(plaintext, key24_);

    Bytes signature;
    ASSERT_EQ(TokenSign(test::SoftHsmLibrary(), padded, pin_, key24_, signature), CKR_OK);
    EXPECT_TRUE(Verifies(modulus_, exponent_, key24_, signature));
}

TEST_F(TokenCryptoTest, SignsSha256WithPkcs1) {
    const Bytes data = ToBytes("Declar pe propria răspundere că accept condițiile.");
    Bytes signature;
    ASSERT_EQ(TokenSign(test::SoftHsmLibrary(), modulus_, pin_, data, signature), CKR_OK);
    EXPECT_EQ(signature.size(), modulus_.size());
    EXPECT_TRUE(Verifies(modulus_, exponent_, data, signature));
}

TEST_F(TokenCryptoTest, UnknownModulusWrongPinAndFullOutput) {
    Bytes unknown = modulus_;
    unknown.back() ^= 1;
    Bytes out;
    EXPECT_EQ(TokenDecrypt(test::SoftHsmLibrary(), unknown, pin_, Bytes(128, 1), out),
              kTokenNoTokenOrKey);
    EXPECT_EQ(TokenSign(test::SoftHsmLibrary(), unknown, pin_, Bytes(8, 1), out),
              kTokenSignKeyNotFound);
    EXPECT_EQ(TokenDecrypt(test::SoftHsmLibrary(), Bytes(4, 0), pin_, Bytes(128, 1), out),
              kTokenNoTokenOrKey);
    EXPECT_TRUE(out.empty());

    EXPECT_EQ(TokenDecrypt(test::SoftHsmLibrary(), modulus_, Secret("9999"), Bytes(128, 1), out),
              CKR_PIN_INCORRECT);

    Bytes full = {1};
    EXPECT_EQ(TokenDecrypt(test::SoftHsmLibrary(), modulus_, pin_, Bytes(128, 1), full),
              kTokenOutputNotEmpty);
    EXPECT_EQ(TokenSign(test::SoftHsmLibrary(), modulus_, pin_, Bytes(8, 1), full),
              kTokenOutputNotEmpty);
    EXPECT_EQ(full, Bytes{1});
}

TEST_F(TokenCryptoTest, LibraryAndSlotFailures) {
    Bytes out;
    EXPECT_EQ(TokenDecrypt("libmissing-pkcs11.so", modulus_, pin_, Bytes(8, 1), out),
              kModuleNotLoaded);
    EXPECT_EQ(TokenSign("libz.so.1", modulus_, pin_, Bytes(8, 1), out), kNoFunctionList);

    // The first slot is used whatever it holds: with Alpha gone it is the spare slot, whose
    // uninitialised token refuses the session; with no token at all there is no slot.
    hsm_.WriteFaultConfig("[token Alpha]\nabsent\n");
    EXPECT_EQ(TokenDecrypt(test::FaultModuleLibrary(), modulus_, pin_, Bytes(8, 1), out),
              CKR_TOKEN_NOT_RECOGNIZED);
    hsm_.WriteFaultConfig("absent\n");
    EXPECT_EQ(TokenDecrypt(test::FaultModuleLibrary(), modulus_, pin_, Bytes(8, 1), out),
              kTokenNoTokenOrKey);
    EXPECT_EQ(TokenSign(test::FaultModuleLibrary(), modulus_, pin_, Bytes(8, 1), out),
              kTokenNoTokenOrKey);

    hsm_.WriteFaultConfig("fail-after C_Initialize 0x191\n");
    EXPECT_EQ(TokenDecrypt(test::FaultModuleLibrary(), modulus_, pin_, Bytes(8, 1), out),
              CKR_CRYPTOKI_ALREADY_INITIALIZED);

    // A token that refuses the mechanism, and a broken decryption: the output stays empty.
    hsm_.WriteFaultConfig("hide-mechanism CKM_SHA256_RSA_PKCS\n");
    EXPECT_EQ(TokenSign(test::FaultModuleLibrary(), modulus_, pin_, Bytes(8, 1), out),
              CKR_MECHANISM_INVALID);
    hsm_.WriteFaultConfig("fail C_Decrypt 0x40 skip 1\n");
    const Bytes ciphertext = EncryptFor(modulus_, exponent_, key24_);
    EXPECT_EQ(TokenDecrypt(test::FaultModuleLibrary(), modulus_, pin_, ciphertext, out),
              CKR_ENCRYPTED_DATA_INVALID);
    EXPECT_TRUE(out.empty());

    // The session's close decides the result, and a failed close hands out nothing.
    hsm_.WriteFaultConfig("fail-after C_CloseSession 0x30\n");
    EXPECT_EQ(TokenDecrypt(test::FaultModuleLibrary(), modulus_, pin_, ciphertext, out),
              CKR_DEVICE_ERROR);
    EXPECT_TRUE(out.empty());
}

TEST_F(TokenCryptoTest, DecryptCallOrder) {
    const Bytes ciphertext = EncryptFor(modulus_, exponent_, key24_);
    hsm_.ClearRecord();
    Bytes plaintext;
    ASSERT_EQ(TokenDecrypt(test::FaultModuleLibrary(), modulus_, pin_, ciphertext, plaintext),
              CKR_OK);
    const std::vector<test::RecordedCall> calls = hsm_.RecordedCalls();
    EXPECT_THAT(test::CallNames(calls),
                ElementsAre("C_GetFunctionList", "C_Initialize", "C_GetSlotList", "C_GetSlotList",
                            "C_CloseAllSessions", "C_OpenSession", "C_Login", "C_FindObjectsInit",
                            "C_FindObjects", "C_FindObjectsFinal", "C_DecryptInit", "C_Decrypt",
                            "C_Decrypt", "C_Logout", "C_CloseSession", "C_Finalize"));
    for (const test::RecordedCall& call : calls) {
        if (call.name == "C_FindObjectsInit") {
            EXPECT_THAT(call.templates[0],
                        ElementsAre(std::make_pair(CKA_CLASS, test::UlongBytes(CKO_PRIVATE_KEY)),
                                    std::make_pair(CKA_MODULUS, modulus_)));
        } else if (call.name == "C_FindObjects") {
            EXPECT_EQ(call.fields.at("max"), "1");
        } else if (call.name == "C_DecryptInit") {
            EXPECT_EQ(call.fields.at("mech"), "0x1");  // CKM_RSA_PKCS
        } else if (call.name == "C_OpenSession") {
            EXPECT_EQ(call.fields.at("flags"), "0x6");
        }
    }
}

TEST_F(TokenCryptoTest, SignUsesTheHashingMechanism) {
    hsm_.ClearRecord();
    Bytes signature;
    ASSERT_EQ(TokenSign(test::FaultModuleLibrary(), modulus_, pin_, key24_, signature), CKR_OK);
    bool sawInit = false;
    for (const test::RecordedCall& call : hsm_.RecordedCalls()) {
        if (call.name == "C_SignInit") {
            EXPECT_EQ(call.fields.at("mech"), "0x40");  // CKM_SHA256_RSA_PKCS
            sawInit = true;
        }
    }
    EXPECT_TRUE(sawInit);
}

}  // namespace
}  // namespace qe

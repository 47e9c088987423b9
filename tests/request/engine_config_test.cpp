#include <gtest/gtest.h>

#include <curl/curl.h>
#include <openssl/engine.h>

#include "toolkit/rsa_public_key.h"

namespace qe {
namespace {

// Runs with OPENSSL_CONF naming a configuration that loads the pkcs11 engine, as a desktop may
// have: libcurl's start-up then registers the engine for RSA, and the request's public key must
// still be built.
TEST(EngineConfiguration, PublicKeyIsBuiltWhateverEnginesAreLoaded) {
    ASSERT_EQ(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK);
    PkeyPtr reference(EVP_RSA_gen(2048));
    const auto part = [&reference](const char* name) {
        BIGNUM* bn = nullptr;
        EVP_PKEY_get_bn_param(reference.get(), name, &bn);
        Bytes bytes(static_cast<std::size_t>(BN_num_bytes(bn)));
        BN_bn2bin(bn, bytes.data());
        BN_free(bn);
        return bytes;
    };
    const PkeyPtr key = RsaPublicKey(part("n"), part("e"));
    ASSERT_TRUE(key);
    EXPECT_EQ(EVP_PKEY_eq(key.get(), reference.get()), 1);
    curl_global_cleanup();
}

}  // namespace
}  // namespace qe

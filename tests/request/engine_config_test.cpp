#include <gtest/gtest.h>

#include <curl/curl.h>
#include <openssl/engine.h>

#include "support/test_pki.h"

namespace qe {
namespace {

// Runs with OPENSSL_CONF naming a configuration that loads the pkcs11 engine, as a desktop may
// have: libcurl's start-up then registers the engine for RSA, and the request's public key must
// still be built.
TEST(EngineConfiguration, PublicKeyIsBuiltWhateverEnginesAreLoaded) {
    ASSERT_EQ(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK);
    PkeyPtr reference(EVP_RSA_gen(2048));
    const PkeyPtr key =
        RsaPublicKey(test::KeyPart(reference.get(), "n"), test::KeyPart(reference.get(), "e"));
    ASSERT_TRUE(key);
    EXPECT_EQ(EVP_PKEY_eq(key.get(), reference.get()), 1);
    curl_global_cleanup();
}

}  // namespace
}  // namespace qe

#include "toolkit/des3.h"

#include <climits>
#include <new>

#include <openssl/evp.h>

#include "toolkit/openssl_ptr.h"
#include "toolkit/secret.h"
#include "toolkit/status.h"

namespace qe {

int ZEL_3DES_Decrypt_Data(const std::uint8_t* ciphertext, std::size_t ciphertextSize,
                          const std::uint8_t key[kDes3KeySize], const std::uint8_t iv[kDes3IvSize],
                          Bytes& plaintext) {
    Wipe(plaintext);
    if ((ciphertext == nullptr && ciphertextSize != 0) || key == nullptr || iv == nullptr ||
        ciphertextSize > static_cast<std::size_t>(INT_MAX) - 8) {
        return kToolkitCipherError;
    }
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx) {
        return kToolkitNoMemory;
    }
    if (EVP_DecryptInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, key, iv) != 1) {
        return kToolkitCipherError;
    }
    Bytes out;
    try {
        out.resize((ciphertextSize + 7) / 8 * 8 + 8);
    } catch (const std::bad_alloc&) {
        return kToolkitNoMemory;
    }
    int updated = 0;
    int finished = 0;
    const bool ok = EVP_DecryptUpdate(ctx.get(), out.data(), &updated, ciphertext,
                                      static_cast<int>(ciphertextSize)) == 1 &&
                    EVP_DecryptFinal_ex(ctx.get(), out.data() + updated, &finished) == 1;
    if (!ok) {
        Wipe(out);
        return kToolkitCipherError;
    }
    const std::size_t total =
        static_cast<std::size_t>(updated) + static_cast<std::size_t>(finished);
    plaintext.assign(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(total));
    Wipe(out);
    return 0;
}

}  // namespace qe

#pragma once

#include <cstddef>
#include <cstdint>

#include "toolkit/bytes.h"

namespace qe {

inline constexpr std::size_t kDes3KeySize = 24;
inline constexpr std::size_t kDes3IvSize = 8;

// Triple DES (EDE, three independent keys) in CBC mode with the PKCS #5 padding checked and
// removed. Returns 0 with `plaintext` replaced, or kToolkitCipherError (bad padding, ciphertext not
// a whole number of blocks) / kToolkitNoMemory, with `plaintext` left empty. Every buffer the
// decryption used is wiped.
int ZEL_3DES_Decrypt_Data(const std::uint8_t* ciphertext, std::size_t ciphertextSize,
                          const std::uint8_t key[kDes3KeySize], const std::uint8_t iv[kDes3IvSize],
                          Bytes& plaintext);

}  // namespace qe

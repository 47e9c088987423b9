#include "toolkit/digest_info.h"

#include <openssl/sha.h>

namespace qe {

Bytes Sha256DigestInfo(const Bytes& data) {
    // SEQUENCE { SEQUENCE { sha256, NULL }, OCTET STRING (32) }
    Bytes info = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                  0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    const std::size_t prefix = info.size();
    info.resize(prefix + SHA256_DIGEST_LENGTH);
    SHA256(data.data(), data.size(), info.data() + prefix);
    return info;
}

}  // namespace qe

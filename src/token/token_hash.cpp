#include "token/token_hash.h"

#include <openssl/evp.h>

#include "log/last_error.h"
#include "toolkit/bytes.h"
#include "toolkit/error_id.h"

namespace qe {

int GetTokenHash(const zel_token& token, std::wstring& headerLine, std::string& hash) {
    const std::string description = SerialText(token) + ManufacturerText(token) + ModelText(token);
    unsigned char digest[EVP_MAX_MD_SIZE] = {};
    unsigned int digestSize = 0;
    if (EVP_Digest(description.data(), description.size(), digest, &digestSize, EVP_sha1(),
                   nullptr) != 1) {
        SetLastErrorFromOpenSsl();
        return ERR_TOKEN_DEVICE;
    }
    hash = ToHexLower(digest, digestSize);
    // The hash is ASCII, so widening byte by byte is exact.
    headerLine = L"TOKEN_HASH: " + std::wstring(hash.begin(), hash.end()) + L"\n";
    return ERR_SUCCESS;
}

}  // namespace qe

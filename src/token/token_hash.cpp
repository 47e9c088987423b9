#include "token/token_hash.h"

#include <mutex>

#include <openssl/evp.h>

#include "log/last_error.h"
#include "toolkit/bytes.h"
#include "toolkit/error_id.h"

namespace qe {
namespace {

std::mutex g_hashMutex;
std::string g_tokenHash;

}  // namespace

int GetTokenHash(const zel_token& token, std::wstring& headerLine) {
    const std::string description = SerialText(token) + ManufacturerText(token) + ModelText(token);
    unsigned char digest[EVP_MAX_MD_SIZE] = {};
    unsigned int digestSize = 0;
    if (EVP_Digest(description.data(), description.size(), digest, &digestSize, EVP_sha1(),
                   nullptr) != 1) {
        SetLastErrorFromOpenSsl();
        return ERR_TOKEN_DEVICE;
    }
    const std::string hash = ToHexLower(digest, digestSize);
    {
        std::lock_guard lock(g_hashMutex);
        g_tokenHash = hash;
    }
    // The hash is ASCII, so widening byte by byte is exact.
    headerLine = L"TOKEN_HASH: " + std::wstring(hash.begin(), hash.end()) + L"\n";
    return ERR_SUCCESS;
}

std::string CurrentTokenHash() {
    std::lock_guard lock(g_hashMutex);
    return g_tokenHash;
}

}  // namespace qe

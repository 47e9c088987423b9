#pragma once

#include <cstdint>
#include <string>

namespace qe {

// The calling thread's last system error: what a failed platform call left behind, with the
// platform's text for it. Platform wrappers set it (errno with strerror, curl codes, OpenSSL's
// error queue, PKCS#11 results by name); the failure logger reads and restores it.
struct SystemError {
    std::uint32_t code = 0;
    std::string text;  // empty when the platform has no text for the code
};

SystemError GetLastSystemError();
void SetLastSystemError(std::uint32_t code, std::string text);
void SetLastSystemError(const SystemError& error);

// errno and its strerror text.
void SetLastErrorFromErrno(int errnoValue);
// The newest entry of OpenSSL's error queue, which is then emptied; code 0 when it was empty.
void SetLastErrorFromOpenSsl();

// No smart card in the device: the code the status check's certificate store reports when the
// token cannot be reached.
inline constexpr std::uint32_t kNoSmartCardError = 2148532236u;  // 0x8010000C
void SetLastErrorNoSmartCard();

}  // namespace qe

#include "log/last_error.h"

#include <cstring>

#include <openssl/err.h>

namespace qe {
namespace {

thread_local SystemError t_lastError;

}  // namespace

SystemError GetLastSystemError() {
    return t_lastError;
}

void SetLastSystemError(std::uint32_t code, std::string text) {
    t_lastError.code = code;
    t_lastError.text = std::move(text);
}

void SetLastSystemError(const SystemError& error) {
    t_lastError = error;
}

void SetLastErrorFromErrno(int errnoValue) {
    char buffer[256] = {};
    // GNU strerror_r returns the text, which may or may not live in the buffer.
    const char* text = strerror_r(errnoValue, buffer, sizeof buffer);
    SetLastSystemError(static_cast<std::uint32_t>(errnoValue), text != nullptr ? text : "");
}

void SetLastErrorFromOpenSsl() {
    // The newest entry is the failure at hand; older ones may be left from earlier work.
    const unsigned long code = ERR_peek_last_error();
    char buffer[256] = {};
    if (code != 0) {
        ERR_error_string_n(code, buffer, sizeof buffer);
    }
    ERR_clear_error();
    SetLastSystemError(static_cast<std::uint32_t>(code), buffer);
}

void SetLastErrorNoSmartCard() {
    SetLastSystemError(kNoSmartCardError,
                       "The operation requires a Smart Card, but no Smart Card is currently in "
                       "the device.");
}

}  // namespace qe

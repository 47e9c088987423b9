#include "toolkit/secret.h"

#include <openssl/crypto.h>

namespace qe {

void Wipe(void* data, std::size_t size) {
    if (data != nullptr && size > 0) {
        OPENSSL_cleanse(data, size);
    }
}

void Wipe(Bytes& bytes) {
    Wipe(bytes.data(), bytes.capacity());
    bytes.clear();
}

void Wipe(std::string& text) {
    Wipe(text.data(), text.capacity());
    text.clear();
}

Secret::Secret(std::string_view text) : buffer_(text.begin(), text.end()) {}

Secret::Secret(Secret&& other) noexcept : buffer_(std::move(other.buffer_)) {
    other.buffer_.clear();
}

Secret& Secret::operator=(Secret&& other) noexcept {
    if (this != &other) {
        Clear();
        buffer_ = std::move(other.buffer_);
        other.buffer_.clear();
    }
    return *this;
}

Secret::~Secret() {
    Clear();
}

void Secret::Clear() {
    Wipe(buffer_.data(), buffer_.capacity());
    buffer_.clear();
}

}  // namespace qe

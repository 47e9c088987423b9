#include "sim/card/security.h"

#include <algorithm>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

namespace qe::sim::card {
namespace {

constexpr std::size_t kPinMin = 4, kPinMax = 16, kPukLength = 16;
constexpr int kPinTries = 3, kPukTries = 5;
constexpr std::uint8_t kAlgGenRsa2048 = 0xF3, kAlgRsaPkcs1 = 0x11;

struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

std::array<std::uint8_t, 16> Padded(const std::uint8_t* p, std::size_t n) {
    std::array<std::uint8_t, 16> out{};
    std::copy(p, p + std::min(n, out.size()), out.begin());
    return out;
}

// Checks one presented value, counting the try first as a card does.
Response Check(Secret16& secret, const std::uint8_t* p, std::size_t n, bool& changed) {
    if (!secret.set || secret.tries_left <= 0) {
        return Status(secret.set ? kSwAuthBlocked : kSwConditionsNotSatisfied);
    }
    auto presented = Padded(p, n);
    const bool match = CRYPTO_memcmp(presented.data(), secret.value.data(), 16) == 0;
    OPENSSL_cleanse(presented.data(), presented.size());
    const int before = secret.tries_left;
    secret.tries_left = match ? secret.max_tries : secret.tries_left - 1;
    changed = changed || secret.tries_left != before;
    if (!match) {
        return Status(static_cast<std::uint16_t>(kSwTriesRemaining | secret.tries_left));
    }
    return Status(kSwOk);
}

void Set(Secret16& secret, const std::uint8_t* p, std::size_t n, int tries) {
    secret.value = Padded(p, n);
    secret.max_tries = tries;
    secret.tries_left = tries;
    secret.set = true;
}

Bytes BigEndian(const EVP_PKEY* key, const char* name, std::size_t width) {
    BIGNUM* bn = nullptr;
    Bytes out(width, 0);
    if (EVP_PKEY_get_bn_param(key, name, &bn) == 1) {
        BN_bn2binpad(bn, out.data(), static_cast<int>(width));
    }
    BN_free(bn);
    return out;
}

}  // namespace

Secret16::~Secret16() {
    OPENSSL_cleanse(value.data(), value.size());
}

void Security::Deselect() {
    pin_validated_ = false;
    algorithm_ = 0;
    key_ref_.reset();
    operation_ = 0xFF;
}

bool Security::UserAuthenticated() const {
    return life != Life::kOperational || pin_validated_;
}

Response Security::Verify(const Apdu& a, bool& changed) {
    if (a.p1 != 0x00 || a.p2 != 0x01) {
        return Status(kSwIncorrectP1P2);
    }
    const std::size_t lc = a.data.size();
    if ((lc > 0 && lc < kPinMin) || lc > kPinMax) {
        return Status(kSwWrongLength);
    }
    if (lc == 0) {
        if (life != Life::kOperational || pin_validated_) {
            return Status(kSwOk);
        }
        return Status(pin.tries_left <= 0
                          ? std::uint16_t{kSwAuthBlocked}
                          : static_cast<std::uint16_t>(kSwTriesRemaining | pin.tries_left));
    }
    Response r = Check(pin, a.data.data(), lc, changed);
    pin_validated_ = r.sw == kSwOk;
    return r;
}

Response Security::ChangeReferenceData(const Apdu& a, bool& changed) {
    const std::size_t lc = a.data.size();
    const std::uint8_t* d = a.data.data();
    if (life == Life::kCreation && a.p1 == 0x01 && a.p2 == 0x02) {
        if (lc != kPukLength) {
            return Status(kSwWrongLength);
        }
        Set(puk, d, lc, kPukTries);
        life = Life::kInitialisation;
        changed = true;
        return Status(kSwOk);
    }
    if (life != Life::kOperational) {
        if (a.p1 != 0x01 || a.p2 != 0x01) {
            return Status(kSwIncorrectP1P2);
        }
        if (lc < kPinMin || lc > kPinMax) {
            return Status(kSwWrongLength);
        }
        Set(pin, d, lc, kPinTries);
        life = Life::kOperational;
        changed = true;
        return Status(kSwOk);
    }
    if (a.p1 != 0x00 || a.p2 != 0x01) {
        return Status(kSwIncorrectP1P2);
    }
    if (lc != 2 * kPinMax) {
        return Status(kSwWrongLength);
    }
    Response r = Check(pin, d, kPinMax, changed);
    if (r.sw == kSwOk) {
        Set(pin, d + kPinMax, kPinMax, kPinTries);
        changed = true;
    }
    return r;
}

Response Security::ResetRetryCounter(const Apdu& a, bool& changed) {
    if (life != Life::kOperational) {
        return Status(kSwConditionsNotSatisfied);
    }
    const std::size_t lc = a.data.size();
    if (lc < kPukLength + kPinMin || lc > kPukLength + kPinMax) {
        return Status(kSwWrongLength);
    }
    if (a.p1 != 0x00 || a.p2 != 0x01) {
        return Status(kSwIncorrectP1P2);
    }
    Response r = Check(puk, a.data.data(), kPukLength, changed);
    if (r.sw == kSwOk) {
        Set(pin, a.data.data() + kPukLength, lc - kPukLength, kPinTries);
        changed = true;
    }
    return r;
}

Response Security::ManageSecurityEnvironment(const Apdu& a) {
    if (!UserAuthenticated()) {
        return Status(kSwSecurityNotSatisfied);
    }
    if (a.p1 == 0xF3) {
        algorithm_ = 0;
        key_ref_.reset();
        operation_ = 0xFF;
        return Status(kSwOk);
    }
    if (a.p1 != 0x41) {
        return Status(kSwFuncNotSupported);
    }
    const std::uint8_t* b = a.data.data();
    const auto alg = FindTag(b, b + a.data.size(), 0x80);
    auto ref = FindTag(b, b + a.data.size(), 0x84);
    if (!ref) {
        ref = FindTag(b, b + a.data.size(), 0x83);
    }
    if (!alg || alg->size() != 1 || !ref || ref->size() != 1 || (*ref)[0] >= kKeySlots) {
        return Status(kSwDataInvalid);
    }
    const std::size_t slot = (*ref)[0];
    if (a.p2 == 0x00) {
        if ((*alg)[0] != kAlgGenRsa2048) {
            return Status(kSwFuncNotSupported);
        }
    } else if (a.p2 == 0xB6 || a.p2 == 0xB8) {
        if ((*alg)[0] != kAlgRsaPkcs1) {
            return Status(kSwFuncNotSupported);
        }
        if (!keys[slot]) {
            return Status(kSwDataInvalid);
        }
    } else {
        return Status(kSwFuncNotSupported);
    }
    algorithm_ = (*alg)[0];
    key_ref_ = slot;
    operation_ = a.p2;
    return Status(kSwOk);
}

Response Security::GenerateKeyPair(const Apdu& a, bool& changed) {
    if (!UserAuthenticated()) {
        return Status(kSwSecurityNotSatisfied);
    }
    if (algorithm_ != kAlgGenRsa2048 || operation_ != 0x00 || !key_ref_) {
        return Status(kSwConditionsNotSatisfied);
    }
    if (a.p1 != 0x42 || a.p2 != 0x00) {
        return Status(kSwIncorrectP1P2);
    }
    Pkey key(EVP_RSA_gen(2048));
    if (!key) {
        return Status(kSwUnknown);
    }
    const Bytes modulus = BigEndian(key.get(), OSSL_PKEY_PARAM_RSA_N, 256);
    const Bytes exponent = BigEndian(key.get(), OSSL_PKEY_PARAM_RSA_E, 3);
    keys[*key_ref_] = std::move(key);
    changed = true;
    Response r;
    r.data = {0x7F, 0x49, 0x82, 0x01, 0x09, 0x81, 0x82, 0x01, 0x00};
    r.data.insert(r.data.end(), modulus.begin(), modulus.end());
    r.data.insert(r.data.end(), {0x82, 0x03});
    r.data.insert(r.data.end(), exponent.begin(), exponent.end());
    return r;
}

Response Security::PerformSecurityOperation(const Apdu& a) {
    if (!UserAuthenticated()) {
        return Status(kSwSecurityNotSatisfied);
    }
    if (a.p1 == 0x9E && a.p2 == 0x9A) {
        return Sign(a);
    }
    if (a.p1 == 0x80 && a.p2 == 0x86) {
        return Decipher(a);
    }
    return Status(kSwIncorrectP1P2);
}

Response Security::Sign(const Apdu& a) const {
    if (algorithm_ != kAlgRsaPkcs1 || operation_ != 0xB6 || !key_ref_ || !keys[*key_ref_]) {
        return Status(kSwConditionsNotSatisfied);
    }
    if (a.data.size() > 245) {
        return Status(kSwWrongLength);
    }
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, keys[*key_ref_].get(), nullptr));
    std::size_t len = 256;
    Response r;
    r.data.resize(len);
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_sign(ctx.get(), r.data.data(), &len, a.data.data(), a.data.size()) != 1) {
        return Status(kSwUnknown);
    }
    r.data.resize(len);
    return r;
}

Response Security::Decipher(const Apdu& a) const {
    if (algorithm_ != kAlgRsaPkcs1 || operation_ != 0xB8 || !key_ref_ || !keys[*key_ref_]) {
        return Status(kSwConditionsNotSatisfied);
    }
    if (a.data.size() != 257) {
        return Status(kSwWrongLength);
    }
    if (a.data[0] != 0x00) {
        return Status(kSwWrongData);
    }
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, keys[*key_ref_].get(), nullptr));
    Bytes plain(256);
    std::size_t len = plain.size();
    const bool ok = ctx && EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
                    EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
                    EVP_PKEY_decrypt(ctx.get(), plain.data(), &len, a.data.data() + 1, 256) == 1;
    Response r{
        ok ? Bytes(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(len)) : Bytes{},
        ok ? kSwOk : kSwWrongData};
    OPENSSL_cleanse(plain.data(), plain.size());
    return r;
}

Response Security::GetChallenge(const Apdu& a) const {
    if (a.p1 != 0 || a.p2 != 0) {
        return Status(kSwIncorrectP1P2);
    }
    Response r;
    r.data.resize(a.le == 0 ? 8 : std::min<std::size_t>(a.le, 256));
    if (RAND_bytes(r.data.data(), static_cast<int>(r.data.size())) != 1) {
        return Status(kSwUnknown);
    }
    return r;
}

}  // namespace qe::sim::card

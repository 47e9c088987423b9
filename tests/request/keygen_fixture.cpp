#include "keygen_fixture.h"

#include <algorithm>

#include <openssl/pem.h>

#include "token/pki.h"

namespace qe::test {

void KeygenTest::SetUp() {
    hsm_.InitToken("Alpha", "1234");
    hsm_.WriteModuleList({FaultModuleLibrary()});
    std::vector<zel_token> tokens;
    CPKI().ListTokens({FaultModuleLibrary()}, tokens);
    ASSERT_EQ(tokens.size(), 1u);
    token_ = tokens.front();
    hsm_.ClearRecord();
    log_.Restart();
}

std::vector<std::string> KeygenTest::CallsOfLastLoad() const {
    const std::vector<std::string> names = CallNames(hsm_.RecordedCalls());
    const auto last = std::find(names.rbegin(), names.rend(), "C_GetFunctionList");
    return last == names.rend() ? names : std::vector<std::string>(last.base() - 1, names.end());
}

RecordedCall KeygenTest::FirstCall(const std::string& name) const {
    for (const RecordedCall& call : hsm_.RecordedCalls()) {
        if (call.name == name) {
            return call;
        }
    }
    ADD_FAILURE() << "no call " << name;
    return {};
}

X509ReqPtr ParseRequestPem(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return X509ReqPtr(PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr));
}

}  // namespace qe::test

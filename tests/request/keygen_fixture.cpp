#include "keygen_fixture.h"

#include <cstdlib>

#include <openssl/core_names.h>
#include <openssl/pem.h>

#include "log/enroll_log.h"
#include "token/pki.h"

namespace qe::test {

namespace {

// The process-wide log opens in $TMPDIR on first use and stays open: give this process one
// directory of its own for all suites, removed at exit after the log has closed.
const std::string& LogDir() {
    static const ScopedDir dir("keygenlog");
    static const bool opened = [] {
        setenv("TMPDIR", dir.path().c_str(), 1);
        Log();
        return true;
    }();
    static_cast<void>(opened);
    return dir.path();
}

std::string LogText() {
    return ReadFile(LogDir() + "/enrolllog.txt");
}

}  // namespace

void KeygenTest::SetUp() {
    logStart_ = LogText().size();
    hsm_.InitToken("Alpha", "1234");
    hsm_.WriteModuleList({FaultModuleLibrary()});
    std::vector<zel_token> tokens;
    CPKI().ListTokens({FaultModuleLibrary()}, tokens);
    ASSERT_EQ(tokens.size(), 1u);
    token_ = tokens.front();
    hsm_.ClearRecord();
}

std::string KeygenTest::NewLog() const {
    return LogText().substr(logStart_);
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

Bytes RequestModulus(X509_REQ* request) {
    BIGNUM* n = nullptr;
    EVP_PKEY_get_bn_param(X509_REQ_get0_pubkey(request), OSSL_PKEY_PARAM_RSA_N, &n);
    const BignumPtr modulus(n);
    Bytes bytes(static_cast<std::size_t>(BN_num_bytes(modulus.get())));
    BN_bn2bin(modulus.get(), bytes.data());
    return bytes;
}

std::vector<std::tuple<std::string, int, std::string>> SubjectEntriesOf(X509_REQ* request) {
    std::vector<std::tuple<std::string, int, std::string>> entries;
    const X509_NAME* name = X509_REQ_get_subject_name(request);
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
        entries.emplace_back(
            OBJ_nid2sn(OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry))), ASN1_STRING_type(value),
            std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                        static_cast<std::size_t>(ASN1_STRING_length(value))));
    }
    return entries;
}

GeneralNamesPtr RequestedAltNames(X509_REQ* request) {
    STACK_OF(X509_EXTENSION)* extensions = X509_REQ_get_extensions(request);
    GeneralNamesPtr names(static_cast<GENERAL_NAMES*>(
        X509V3_get_d2i(extensions, NID_subject_alt_name, nullptr, nullptr)));
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
    return names;
}

}  // namespace qe::test

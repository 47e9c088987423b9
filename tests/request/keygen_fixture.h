#pragma once

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "request/progress_port.h"
#include "support/softhsm.h"
#include "token/zel_token.h"
#include "toolkit/bytes.h"
#include "toolkit/openssl_ptr.h"

namespace qe::test {

// Stands in for the window's progress bar: keeps every record posted.
class RecordingProgress : public ProgressPort {
public:
    void PostProgress(int position, int target, int duration) override {
        records.emplace_back(position, target, duration);
    }
    std::vector<std::tuple<int, int, int>> records;
};

// A private SoftHSM2 with one token "Alpha" (user PIN 1234) reached through the fault module,
// which is the whole module list; the process's log lives in a directory of its own.
class KeygenTest : public ::testing::Test {
protected:
    void SetUp() override;

    // The log lines written since the test began.
    std::string NewLog() const;
    // The names of the recorded calls from the last C_GetFunctionList on (one operation).
    std::vector<std::string> CallsOfLastLoad() const;
    // The first recorded call of that name; fails the test when there is none.
    RecordedCall FirstCall(const std::string& name) const;

    SoftHsm hsm_;
    zel_token token_;

private:
    std::size_t logStart_ = 0;
};

// The request in a PEM text, or null.
X509ReqPtr ParseRequestPem(const std::string& pem);
// The modulus of the request's RSA public key (big-endian).
Bytes RequestModulus(X509_REQ* request);
// The subject as (short name, ASN.1 string type, value) in encoded order.
std::vector<std::tuple<std::string, int, std::string>> SubjectEntriesOf(X509_REQ* request);
// The subjectAltName entries the request asks for (null when it asks for none).
GeneralNamesPtr RequestedAltNames(X509_REQ* request);

}  // namespace qe::test

#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/process_log.h"
#include "support/softhsm.h"
#include "token/zel_token.h"
#include "toolkit/openssl_ptr.h"

namespace qe::test {

// A private SoftHSM2 with one token "Alpha" (user PIN 1234) reached through the fault module,
// which is the whole module list.
class KeygenTest : public ::testing::Test {
protected:
    void SetUp() override;

    // The names of the recorded calls from the last C_GetFunctionList on (one operation).
    std::vector<std::string> CallsOfLastLoad() const;
    // The first recorded call of that name; fails the test when there is none.
    RecordedCall FirstCall(const std::string& name) const;

    SoftHsm hsm_;
    zel_token token_;
    ProcessLog log_;
};

// The request in a PEM text, or null.
X509ReqPtr ParseRequestPem(const std::string& pem);

}  // namespace qe::test

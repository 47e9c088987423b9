#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "e2e_fixture.h"

namespace qe::test {
namespace {

using ::testing::ElementsAre;

// The installation's confirmation (the download's seventh connection to the API host, its last)
// served, then answered by a reset or a gateway's page: the certificate is on the token, and the
// customer reads that it is, not a failure.
class ConfirmationLost : public FlowTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(ConfirmationLost, AfterTheAuthorityRecordedItTheCertificateIsToldAsInstalled) {
    RunFlow(1, kPin);
    ASSERT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
    ASSERT_EQ(
        sim_->SetFault(R"({"listener": "api", "connection": 7, "kind": ")" + GetParam() + "\"}"),
        200);
    RunFlow(2, kPin);
    EXPECT_THAT(window_.results, ElementsAre(ERR_INSTALLED_UNCONFIRMED)) << sim_->Exchanges();
    const std::vector<Bytes> held = TokenCertificates();
    EXPECT_TRUE(Order()["installed"].toBool());
    EXPECT_NE(std::find(held.begin(), held.end(), sim_->IssuedCertificate()), held.end());
}

INSTANTIATE_TEST_SUITE_P(Kinds, ConfirmationLost, ::testing::Values("lost", "gateway"));

}  // namespace
}  // namespace qe::test

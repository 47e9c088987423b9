#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "doctor/doctor_cli.h"
#include "doctor/doctor_report.h"
#include "support/softhsm.h"
#include "support/softhsm_certs.h"
#include "token/module_list.h"

namespace qe {
namespace {

using ::testing::Contains;
using ::testing::StartsWith;

class DoctorTokenTest : public ::testing::Test {
protected:
    std::vector<std::string> ReportLines() {
        DoctorOptions options;
        options.probeHosts = false;
        return test::SplitLines(RenderReport(CollectReport(options), options));
    }
    test::SoftHsm hsm_;
};

struct FaultCase {
    const char* rules;
    const char* line;
};

class DoctorFaultTest : public DoctorTokenTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(DoctorFaultTest, ReportsWhatTheTokenSays) {
    hsm_.InitToken("Alpha", "1234");
    hsm_.WriteModuleList({test::FaultModuleLibrary()});
    hsm_.WriteFaultConfig(std::string(GetParam().rules) + "\n");
    EXPECT_THAT(ReportLines(), Contains(GetParam().line));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DoctorFaultTest,
    ::testing::Values(
        FaultCase{"flags-set 0x10000", "    PIN flags: user PIN count low"},
        FaultCase{"flags-set 0x60000", "    PIN flags: user PIN final try, user PIN locked"},
        FaultCase{"refuse-rw-session",
                  "the wizard would find: no token (it stops with \"no token\")"},
        FaultCase{"rsa-key-sizes 1024 2048", "    RSA key generation: 1024 to 2048 bits"},
        FaultCase{"hide-mechanism CKM_SHA256_RSA_PKCS", "      CKM_SHA256_RSA_PKCS: not offered"},
        FaultCase{
            "hide-mechanism CKM_RSA_PKCS",
            "    key generation and signing on the token: no: the wizard cannot renew with it"},
        FaultCase{"fail C_GetFunctionList 0x6",
                  "loads: no: C_GetFunctionList failed: CKR_FUNCTION_FAILED (0x6)"},
        FaultCase{"fail C_Initialize 0x30", "C_Initialize: failed: CKR_DEVICE_ERROR (0x30)"},
        FaultCase{"absent", "slots with a token: 0"}));

TEST_F(DoctorTokenTest, OneTokenThroughTwoLibrariesAndOneThatDoesNotLoad) {
    const std::string serial = hsm_.InitToken("Alpha", "1234");
    hsm_.WriteModuleList(
        {"/nonexistent/libnothere.so", test::FaultModuleLibrary(), test::FaultModuleTwinLibrary()});
    const std::vector<std::string> lines = ReportLines();
    EXPECT_THAT(lines, Contains(StartsWith("loads: no: the file could not be loaded: ")));
    EXPECT_THAT(lines, Contains("token " + serial + " is seen through 2 libraries:"));
    // Both libraries serve the same reader: the wizard keeps the first.
    EXPECT_THAT(lines, Contains("the wizard would find: token " + serial + " through " +
                                test::FaultModuleLibrary()));
}

TEST_F(DoctorTokenTest, ShowsCertificatesAndLeftoverKeysWithoutLoginOrChange) {
    hsm_.InitToken("Alpha", "1234");
    {
        test::SoftHsm::Session session("Alpha", "1234");
        const Bytes modulus = session.GenerateRsaKeyPair(2048, "cert-key");
        const test::TestCa ca;
        const Bytes der = ca.Issue(modulus, session.PublicExponent(modulus),
                                   {{"CN", "Ion Popescu"}}, {0x0a, 0x0b, 0x0c});
        session.CreateCertificate(der, ToBytes("cert-key"), "Ion Popescu");
        session.GenerateRsaKeyPair(2048, "OBJECT ID", "Tarnwick Public Key",
                                   "Tarnwick Private Key");
    }
    hsm_.WriteModuleList({test::FaultModuleLibrary()});
    hsm_.ClearRecord();

    const std::vector<std::string> lines = ReportLines();
    for (const char* line : {
             "      certificate 1: label \"Ion Popescu\", id \"cert-key\"",
             "        subject: CN=Ion Popescu",
             "        serial: 0a0b0c",
             "        private key with the same modulus: not visible without a login",
             "        public key with the same modulus: present",
             "    keys without a certificate: 1",
             "      public key \"Tarnwick Public Key\", id \"OBJECT ID\", 2048 bits; private key: "
             "not visible without a login",
             "        left by a renewal that stopped before its certificate was installed",
         }) {
        EXPECT_THAT(lines, Contains(line));
    }
    const std::set<std::string> reading = {
        "C_GetFunctionList",  "C_Initialize",       "C_Finalize",        "C_GetInfo",
        "C_GetSlotList",      "C_GetSlotInfo",      "C_GetTokenInfo",    "C_GetMechanismInfo",
        "C_OpenSession",      "C_CloseSession",     "C_FindObjectsInit", "C_FindObjects",
        "C_FindObjectsFinal", "C_GetAttributeValue"};
    const std::vector<test::RecordedCall> calls = hsm_.RecordedCalls();
    ASSERT_FALSE(calls.empty());
    for (const test::RecordedCall& call : calls) {
        EXPECT_TRUE(reading.count(call.name)) << call.name;
        if (call.name == "C_OpenSession") {
            EXPECT_EQ(call.fields.at("flags"), "0x4");  // CKF_SERIAL_SESSION: read-only
        }
    }
}

TEST_F(DoctorTokenTest, ModuleListSourceIsFoundWithoutWritingIt) {
    const std::string userFile =
        hsm_.UserConfigHome() + "/" + kModuleKeyPath + "/" + kModuleValueName;
    EXPECT_THAT(ReportLines(), Contains("source: built-in: the token libraries registered with "
                                        "p11-kit"));

    const std::string machineKey = hsm_.MachineConfigHome() + "/" + kModuleKeyPath;
    std::filesystem::create_directories(machineKey);
    test::WriteFile(machineKey + "/" + kModuleValueName, "$QEDOCTORDIR/libvendor.so\n");
    setenv("QEDOCTORDIR", "/opt/vendor", 1);
    const std::vector<std::string> machine = ReportLines();
    unsetenv("QEDOCTORDIR");
    EXPECT_THAT(machine,
                Contains("source: the machine-wide list " + machineKey + "/" + kModuleValueName +
                         ", copied to the user's settings on the "
                         "next run"));
    EXPECT_THAT(machine, Contains("  1. /opt/vendor/libvendor.so"));
    // The wizard would have written the user's list by now; the doctor only looks.
    EXPECT_FALSE(std::filesystem::exists(userFile));

    hsm_.WriteModuleList({"libmine.so"});
    EXPECT_THAT(ReportLines(), Contains("source: the user's list " + userFile));
}

TEST(DoctorUsageTest, BadUsageIsTwoAndAnUnwritableBundleIsOne) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--bundle"}, {"--frobnicate"}, {"--bundle", "a.zip", "--bundle", "b.zip"}}) {
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(RunDoctor(args, out, err), 2) << args.back();
        EXPECT_THAT(err.str(), ::testing::HasSubstr("usage: quorvane-enroll-doctor"));
    }
    test::SoftHsm hsm;
    hsm.WriteModuleList({"/nonexistent/libnothere.so"});
    std::ostringstream out;
    std::ostringstream err;
    const std::string bundle = hsm.dir() + "/missing/b.zip";
    EXPECT_EQ(RunDoctor({"--offline", "--bundle", bundle}, out, err), 1);
    EXPECT_THAT(err.str(), StartsWith("quorvane-enroll-doctor: no bundle written: "));
}

}  // namespace
}  // namespace qe

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <set>
#include <sstream>

#include <sys/wait.h>

#include <openssl/evp.h>

#include "doctor/doctor_cli.h"
#include "doctor/doctor_report.h"
#include "doctor/report_text.h"
#include "flows/flow_support.h"
#include "reminder/certificate_memory.h"
#include "request/key_pair_ledger.h"
#include "support/outside_step.h"
#include "support/softhsm.h"
#include "support/test_pki.h"
#include "token/module_list.h"
#include "token/pki.h"

namespace qe {
namespace {

using ::testing::Contains;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;
using ::testing::StartsWith;

// The report as written: flushed after each section, the settings with the module list; every
// library's child reaped.
std::vector<std::string> ReportLines(int timeout = 30) {
    struct Flushes : std::stringbuf {
        int count = 0;
        int sync() override { return ++count, 0; }
    } flushes;
    std::ostream streamed(&flushes);
    DoctorOptions options{false, 40, std::chrono::seconds(timeout), QE_DOCTOR_BINARY};
    ReportSources sources;
    const std::string text = WriteReport(options, streamed, sources);
    EXPECT_EQ(flushes.str(), text);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // no child left, ended or not
    std::vector<std::string> lines = test::SplitLines(text);
    EXPECT_EQ(flushes.count + 1, std::count_if(lines.begin(), lines.end(),
                                               [](const auto& l) { return l.find("== ") == 0; }));
    return lines;
}

// The value of the first line starting with `field` after the line `after`.
std::string FieldAfter(const std::vector<std::string>& lines, const std::string& after,
                       const std::string& field) {
    auto it = std::find(lines.begin(), lines.end(), after);
    it = std::find_if(it, lines.end(), [&](const std::string& l) { return l.find(field) == 0; });
    return it == lines.end() ? "" : it->substr(field.size());
}

// One token (and SoftHSM2's spare slot) behind the fault module; each row a fault, the report
// line that tells it and the time limit of a library.
TEST(DoctorTokenTest, ReportsWhatTheTokenSays) {
    test::SoftHsm hsm;
    hsm.InitToken("Alpha", "1234");
    hsm.WriteModuleList({test::FaultModuleLibrary()});
    struct Case {
        const char* faults;
        const char* line;
        int timeout = 30;
    };
    const Case cases[] = {
        {"", "    token: not initialised, the wizard skips this slot"},
        {"", "    renewal check: ready"},
        {"flags-set 0x60000", "    renewal check: not ready: the user PIN is locked"},
        {"refuse-rw-session\nhide-mechanism CKM_RSA_PKCS",
         "    renewal check: not ready: the token is write-protected, no RSA PKCS#1 decryption, "
         "no RSA PKCS#1 signature"},
        {"crash C_Initialize", "survey: crashed (signal 6, SIGABRT)"},
        {"noise C_GetInfo", "loads: yes"},  // what a library prints is not the report
        {"crash C_GetSlotList",
         "the wizard would find: unknown: its token listing crashed (signal 6, SIGABRT)"},
        {"hang C_GetTokenInfo", "survey: did not answer in 1 s", 1},
        {"hang C_GetTokenInfo",
         "the wizard would find: unknown: its token listing did not answer in 1 s", 1},
        {"flags-set 0x60000", "    PIN flags: user PIN final try, user PIN locked"},
        {"product-name Quorvane Token 3000", "    product name: Quorvane Token 3000"},
        {"[token Alpha]\nrefuse-rw-session",
         "the wizard would find: no token (it stops with \"no token\")"},
        {"rsa-key-sizes 1024 2048", "    RSA key generation: 1024 to 2048 bits"},
        {"hide-mechanism CKM_RSA_PKCS_KEY_PAIR_GEN", "    RSA key generation: not offered"},
        {"fail C_GetMechanismInfo 0x30",
         "    RSA key generation: not readable: CKR_DEVICE_ERROR (0x30)"},
        {"hide-mechanism CKM_SHA256_RSA_PKCS", "      CKM_SHA256_RSA_PKCS: not offered"},
        {"mechanism-flags CKM_RSA_PKCS 0x200", "      CKM_RSA_PKCS: sign no, decrypt yes"},
        {"hide-mechanism CKM_RSA_PKCS",
         "    key generation and signing on the token: no: the wizard cannot renew with it"},
        {"fail C_GetFunctionList 0x6",
         "loads: no: C_GetFunctionList failed: CKR_FUNCTION_FAILED (0x6)"},
        {"fail C_Initialize 0x30", "C_Initialize: failed: CKR_DEVICE_ERROR (0x30)"},
        {"fail C_GetInfo 0x30", "C_GetInfo: failed: CKR_DEVICE_ERROR (0x30)"},
        {"fail C_GetSlotList 0x30", "slots with a token: not readable: CKR_DEVICE_ERROR (0x30)"},
        {"fail C_GetSlotInfo 0x30", "    reader: not readable: CKR_DEVICE_ERROR (0x30)"},
        {"fail C_GetTokenInfo 0x30", "    token: not readable: CKR_DEVICE_ERROR (0x30)"},
        {"fail C_FindObjects 0x30", "    objects: not all readable: CKR_DEVICE_ERROR (0x30)"},
        {"absent", "slots with a token: 0"},
    };
    for (const auto& [faults, line, timeout] : cases) {
        hsm.WriteFaultConfig(std::string(faults) + "\n");
        EXPECT_THAT(ReportLines(timeout), Contains(line)) << faults;
    }
}

TEST(DoctorTokenTest, TokensThroughSeveralLibraries) {
    test::SoftHsm hsm;
    const std::string serial = hsm.InitToken("Alpha", "1234");
    const std::string twin = test::FaultModuleTwinLibrary();
    hsm.WriteModuleList({"/nonexistent/libnothere.so", test::FaultModuleLibrary(), twin});
    std::vector<std::string> lines = ReportLines();
    EXPECT_THAT(lines, Contains(StartsWith("loads: no: the file could not be loaded: ")));
    EXPECT_THAT(lines, Contains("token " + serial + " is seen through 2 libraries:"));
    // Both libraries serve the same reader: the wizard keeps the first.
    zel_token chosen;
    ASSERT_EQ(CPKI(test::NoTokenStep()).SelectToken(chosen), CKR_OK);
    const std::string alpha = "token " + serial + " (slot id " + HexNumber(chosen.slotId) +
                              ") through " + chosen.modulePath;
    EXPECT_THAT(lines, Contains("the wizard would find: " + alpha));
    EXPECT_THAT(lines, IsSupersetOf({"== Module 3: " + twin + " ==",
                                     "  " + twin + " (slot id " + HexNumber(chosen.slotId) + ")"}));
    hsm.WriteModuleList({test::FaultModuleLibrary()});
    hsm.InitToken("Beta", "1234");
    test::SoftHsm::Session("Beta", "1234").CreateCertificate({0x30, 0}, {}, "Beta");
    lines = ReportLines();
    EXPECT_THAT(lines, Contains("no token is seen through more than one library"));
    EXPECT_THAT(lines, Contains("  " + alpha));
    EXPECT_THAT(lines, Contains("the wizard would find: 2 tokens (it stops with \"several "
                                "tokens\")"));
    // Each slot shows its own token's objects.
    EXPECT_EQ(FieldAfter(lines, "    label: Alpha", "    certificates: "), "0");
    EXPECT_EQ(FieldAfter(lines, "    label: Beta", "    certificates: "), "1");
}

TEST(DoctorTokenTest, CertificatesAndLeftoverKeysReadWithoutLoginOrChange) {
    test::SoftHsm hsm;
    hsm.InitToken("Alpha", "1234");
    std::size_t ecSize = 0;
    {
        test::SoftHsm::Session session("Alpha", "1234");
        const Bytes modulus = session.GenerateRsaKeyPair(2048, "cert-key");
        const test::TestCa ca;
        session.CreateCertificate(ca.Issue(modulus, session.PublicExponent(modulus),
                                           {{"CN", "Ion Popescu"}}, {0x0a, 0x0b, 0x0c}),
                                  ToBytes("cert-key"), "Ion Popescu");
        const PkeyPtr ec(EVP_EC_gen("P-256"));
        const Bytes other = ca.Issue(ec.get(), {{"CN", "EC"}}, {0x01});
        session.CreateCertificate(other, Bytes{0x01, 0xff}, "EC\x1b");
        // Another application's: counted, never shown.
        const test::TestCa elsewhere("Other CA");
        session.CreateCertificate(elsewhere.Issue(ec.get(), {{"CN", "Else"}}, {2}), {}, "Else");
        CertificateMemory memory;
        memory.LearnIssuers({IssuerNameDer(other)});
        ASSERT_TRUE(SaveCertificateMemory(CertificateMemoryPath(), memory));
        for (const char* id : {"OBJECT ID", "OBJECT ID 0a", "OBJECT ID 0b"}) {
            session.GenerateRsaKeyPair(1024, id, "Tarnwick Public Key", "Tarnwick Private Key");
        }
        RecordKeyPair({"token", LedgerState::Sent, ToBytes("OBJECT ID 0a"), {}});
        RecordKeyPair({"token", LedgerState::Made, ToBytes("OBJECT ID 0b"), {}});
        ecSize = other.size();
    }
    hsm.WriteModuleList({test::FaultModuleLibrary()});
    hsm.ClearRecord();

    const std::vector<std::string> lines = ReportLines();
    const std::vector<std::string> expected = {
        "    certificates: 3",
        "    certificates of other issuers: 1, not listed",
        ": label \"Ion Popescu\", id \"cert-key\"",
        "        subject: CN=Ion Popescu",
        "        serial: 0a0b0c",
        "        private key with the same modulus: not visible without a login",
        "        public key with the same modulus: present",
        ": label \"EC\\x1b\", id 01ff",
        "        content: not an X.509 certificate with an RSA key (" + std::to_string(ecSize) +
            " bytes)",
        "    keys without a certificate: 3",
        "      public key \"Tarnwick Public Key\", id \"OBJECT ID\", 1024 bits; private key: not "
        "visible without a login",
        "        left by a renewal that stopped before its certificate was installed",
        "        kept by the wizard: its request may have reached the authority (a download "
        "installs its certificate; a register removes it once the status shows none was issued)",
        "        made by the wizard for a request that never left: the next register removes it",
    };
    for (const std::string& line : expected) {
        EXPECT_THAT(lines, Contains(EndsWith(line)));
    }
    EXPECT_THAT(lines, Not(Contains(HasSubstr("Else"))));
    const auto made =
        std::find_if(lines.begin(), lines.end(), ::testing::Matches(HasSubstr("\"OBJECT ID 0b\"")));
    ASSERT_LT(made + 1, lines.end());  // its detail under it, indented as one
    EXPECT_EQ(made[1], expected.back());
    const std::set<std::string> reading = {
        "C_GetFunctionList",  "C_Initialize",       "C_Finalize",        "C_GetInfo",
        "C_GetSlotList",      "C_GetSlotInfo",      "C_GetTokenInfo",    "C_GetMechanismInfo",
        "C_OpenSession",      "C_CloseSession",     "C_FindObjectsInit", "C_FindObjects",
        "C_FindObjectsFinal", "C_GetAttributeValue"};
    // Read-only sessions, but for the wizard's listing, which tries one read-write session.
    std::multiset<std::string> sessions;
    for (const test::RecordedCall& call : hsm.RecordedCalls()) {
        EXPECT_TRUE(reading.count(call.name)) << call.name;
        sessions.insert(call.name == "C_OpenSession" ? call.fields.at("flags") : "0x4");
    }
    EXPECT_EQ(sessions.count("0x6"), 1U);
    EXPECT_EQ(sessions.count("0x6") + sessions.count("0x4"), sessions.size());
}

TEST(DoctorTokenTest, SettingsAndTheModuleListWithoutWritingIt) {
    test::SoftHsm hsm;
    const test::ScopedEnv proxy("https_proxy", "http://carol:pa/ss@proxy:3128");
    const test::ScopedEnv all("ALL_PROXY", "socks5://ana@host/a@b");
    const test::ScopedEnv bare("HTTPS_PROXY", "ana:p@w@proxy:3128");
    const test::ScopedEnv none("no_proxy", "localhost");
    const test::ScopedEnv noneEither("NO_PROXY", "example.ro");
    const test::ScopedEnv certs("SSL_CERT_FILE", nullptr);
    const test::ScopedEnv dir("QEDOCTORDIR", "/opt/vendor");
    const std::string machineKey = hsm.MachineConfigHome() + "/" + kModuleKeyPath;
    const std::string userFile =
        hsm.UserConfigHome() + "/" + kModuleKeyPath + "/" + kModuleValueName;
    EXPECT_THAT(ReportLines(), Contains("source: built-in: the token libraries registered with "
                                        "p11-kit, then the makers' libraries found in the "
                                        "library folders"));
    std::filesystem::create_directories(machineKey);
    test::WriteFile(machineKey + "/" + kModuleValueName, "$QEDOCTORDIR/libvendor.so\n");
    const std::vector<std::string> lines = ReportLines();
    EXPECT_THAT(lines, IsSupersetOf(std::vector<std::string>{
                           "source: the machine-wide list " + machineKey + "/" + kModuleValueName +
                               ", copied to the user's settings on the next run",
                           "  1. /opt/vendor/libvendor.so", "SSL_CERT_FILE: not set",
                           "proxy: https_proxy=http://***@proxy:3128, HTTPS_PROXY=***@proxy:3128, "
                           "ALL_PROXY=socks5://***@b, no_proxy=localhost, NO_PROXY=example.ro",
                           "read: no such file: the wizard has not written a log here"}));
    EXPECT_THAT(lines, Not(Contains(HasSubstr("ss@"))));
    EXPECT_FALSE(std::filesystem::exists(userFile));  // the wizard would have written it
    hsm.WriteModuleList({"libmine.so"});
    EXPECT_THAT(ReportLines(), Contains("source: the user's list " + userFile));
}

TEST(DoctorUsageTest, BadUsageIsTwoAndAnUnwritableBundleIsOne) {
    for (const char* line :
         {"--bundle", "--bundle=", "--frobnicate", "--bundle=a.zip --bundle b", "--timeout",
          "--timeout 0", "--timeout=86401", "--timeout=-1", "--timeout=2s"}) {
        std::istringstream words(line);
        const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(RunDoctor(args, out, err, QE_DOCTOR_BINARY), 2) << args.back();
        EXPECT_THAT(err.str(), HasSubstr("\nusage: quorvane-enroll-doctor"));
        EXPECT_EQ(out.str(), "");
    }
    test::SoftHsm hsm;
    hsm.WriteModuleList({"/nonexistent/libnothere.so"});
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunDoctor({"--help"}, out, err, QE_DOCTOR_BINARY), 0);
    EXPECT_THAT(out.str(), StartsWith("usage: quorvane-enroll-doctor"));
    const std::string bundle = hsm.dir() + "/missing/b.zip";
    EXPECT_EQ(
        RunDoctor({"--offline", "--timeout=86400", "--bundle", bundle}, out, err, QE_DOCTOR_BINARY),
        1);
    EXPECT_THAT(err.str(),
                StartsWith("quorvane-enroll-doctor: no bundle written: cannot create " + bundle));
}

}  // namespace
}  // namespace qe

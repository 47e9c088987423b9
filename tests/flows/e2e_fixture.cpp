#include "e2e_fixture.h"

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "flows/flow_support.h"
#include "flows/workers.h"
#include "net/envelope.h"
#include "net/https_client.h"
#include "sim/sim_process.h"
#include "token/pkcs11_template.h"

namespace qe::test {
namespace {

// The log and the preview files of the whole test process live in one private directory: the
// log is opened once per process.
const std::string& ProcessTempDir() {
    static const ScopedDir* dir = new ScopedDir("flows-tmp");
    return dir->path();
}

}  // namespace

void PointWizardAt(const SimProcess& sim) {
    setenv("QUORVANE_API_HOST", sim.api().c_str(), 1);
    setenv("QUORVANE_REKEY_HOST", sim.rekey().c_str(), 1);
    setenv("SSL_CERT_FILE", sim.caPath().c_str(), 1);
    ClearAcceptedIssuers();
    ClearPinnedKeyId();
    SetAskForDn(false);
    SetServerMessage(L"");
}

void FlowTest::SetUp() {
    setenv("TMPDIR", ProcessTempDir().c_str(), 1);
    hsm_.InitToken(kLabel, kPin);
    hsm_.WriteModuleList({SoftHsmLibrary()});
    const std::string state = dir_ / "sim";
    const CommandResult provisioned = ProvisionToken(
        state, SoftHsmLibrary(), kLabel, kPin, "C=RO,O=Firma Exemplu SRL,CN=Ion Popescu",
        "ion.popescu@example.ro", "ion.popescu@firma.local");
    ASSERT_EQ(provisioned.status, 0) << provisioned.err;
    oldSerial_ = provisioned.out.substr(0, provisioned.out.find('\n'));
    sim_ = std::make_unique<SimProcess>(state);
    PointWizardAt(*sim_);
}

void FlowTest::TearDown() {
    if (sim_) {
        sim_->Stop();
    }
}

std::string FlowTest::ControlState() const {
    return sim_->ControlState();
}

void FlowTest::SetScenario(const std::string& json) const {
    if (sim_->SetScenario(json) != 200) {
        throw std::runtime_error("scenario refused: " + json);
    }
}

std::vector<Bytes> FlowTest::TokenCertificates() const {
    SoftHsm::Session session(kLabel, kPin);
    std::vector<Bytes> certificates;
    for (CK_OBJECT_HANDLE object : session.Find(CKO_CERTIFICATE)) {
        certificates.push_back(session.Attribute(object, CKA_VALUE));
    }
    return certificates;
}

std::vector<std::string> FlowTest::PrivateKeyLabels() const {
    SoftHsm::Session session(kLabel, kPin);
    std::vector<std::string> labels;
    for (CK_OBJECT_HANDLE object : session.Find(CKO_PRIVATE_KEY)) {
        labels.push_back(ToString(session.Attribute(object, CKA_LABEL)));
    }
    return labels;
}

std::string FlowTest::SimLogWith(const std::string& marker) const {
    std::string log = sim_->Log();
    for (int i = 0; i < 250 && log.find(marker) == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        log = sim_->Log();
    }
    return log;
}

std::string FlowTest::LogText() const {
    return ReadFile(ProcessTempDir() + "/enrolllog.txt");
}

std::string FlowTest::TempDir() const {
    return ProcessTempDir();
}

void FlowTest::RunStatusCheck() {
    window_.mode = 0;
    StatusCheckThread(window_);
}

}  // namespace qe::test

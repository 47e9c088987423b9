#include "e2e_fixture.h"

#include <cstdlib>
#include <stdexcept>

#include <QJsonArray>
#include <QJsonDocument>

#include "flows/flow_support.h"
#include "flows/workers.h"
#include "net/envelope.h"
#include "sim/sim_process.h"

namespace qe::test {

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
    static const ScopedDir* temp = new ScopedDir("flows-tmp");
    setenv("TMPDIR", temp->path().c_str(), 1);
    hsm_.InitToken(kLabel, kPin);
    hsm_.WriteModuleList({SoftHsmLibrary()});
    const CommandResult provisioned = ProvisionToken(
        dir_ / "sim", SoftHsmLibrary(), kLabel, kPin, "C=RO,O=Firma Exemplu SRL,CN=Ion Popescu",
        "ion.popescu@example.ro", "ion.popescu@firma.local");
    ASSERT_EQ(provisioned.status, 0) << provisioned.err;
    oldSerial_ = provisioned.out.substr(0, provisioned.out.find('\n'));
    sim_ = std::make_unique<SimProcess>(dir_ / "sim");
    PointWizardAt(*sim_);
    logSeen_ = LogText().size();
}

void FlowTest::TearDown() {
    if (sim_) {
        sim_->Stop();
    }
}

std::string FlowTest::ControlState() const {
    return sim_->ControlState();
}

QJsonObject FlowTest::Order() const {
    const std::string state = ControlState();
    return QJsonDocument::fromJson(QByteArray::fromStdString(state))["orders"][0].toObject();
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

std::string FlowTest::LogText() const {
    return ReadFile(TempDir() + "/enrolllog.txt");
}

std::vector<std::string> FlowTest::NewLogLines(const std::string& tags) {
    const std::string text = LogText();
    std::vector<std::string> lines;
    for (std::string line : SplitLines(text.substr(std::min(logSeen_, text.size())))) {
        // "[dd/mm/yyyy hh:mm:ss]" first; the further lines of a message have none.
        if (line.size() > 21 && line[0] == '[' && line[20] == ']') {
            line.erase(0, 21);
        }
        if (line.rfind(tags, 0) == 0) {
            lines.push_back(line);
        }
    }
    logSeen_ = text.size();
    return lines;
}

void FlowTest::RunStatusCheck() {
    window_.mode = 0;
    StatusCheckThread(window_);
}

void FlowTest::RunFlow(int mode, const char* pin) {
    window_.ClearPin();
    window_.Clear();
    window_.pinAnswers = {pin};
    window_.mode = mode;
    NewLogLines();
    (mode == 1 ? RegisterThread : DownloadThread)(window_);
}

}  // namespace qe::test

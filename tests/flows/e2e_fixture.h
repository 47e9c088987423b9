#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QJsonObject>

#include "scripted_window.h"
#include "support/scoped_dir.h"
#include "support/softhsm.h"

namespace qe::test {

class SimProcess;

// Points the wizard at a running simulator (hosts, trust) and clears what one run of the wizard
// keeps process-wide (accepted issuers, pinned key identifier, Ask4DN, server message), as a
// fresh start would.
void PointWizardAt(const SimProcess& sim);

// One customer's world per test: a private SoftHSM2 token provisioned by the simulator with a
// current certificate (subject, e-mail and UPN), a running simulator, the wizard pointed at it
// (hosts, trust, module list), and a scripted window. The wizard's log and preview files go to
// $TMPDIR, one directory for the test process (the log is opened once per process).
class FlowTest : public ::testing::Test {
protected:
    static constexpr const char* kPin = "1234";
    static constexpr const char* kLabel = "Ion Popescu";

    void SetUp() override;
    void TearDown() override;

    // The control listener's view of the orders, and the order of the token in it (empty when
    // there is none).
    std::string ControlState() const;
    QJsonObject Order() const;
    void SetScenario(const std::string& json) const;
    // Certificates on the token, in C_FindObjects order (DER each).
    std::vector<Bytes> TokenCertificates() const;
    std::string LogText() const;
    // The wizard's temporary directory (log and previews), one for the test process.
    std::string TempDir() const { return std::getenv("TMPDIR"); }
    // The wizard's log lines written since the last call, without their time stamps; with `tags`
    // ("[Init] "), only the lines written under exactly these tags.
    std::vector<std::string> NewLogLines(const std::string& tags = "");
    // Runs the status check worker procedure.
    void RunStatusCheck();
    // A new run of the wizard's command of `mode` (1 request, 2 download), `pin` typed when asked
    // (empty: the dialog cancelled); the record, the log lines and the cached PIN start afresh.
    void RunFlow(int mode, const char* pin);

    ScopedDir dir_{"flow"};
    SoftHsm hsm_;
    std::unique_ptr<SimProcess> sim_;
    std::string oldSerial_;
    ScriptedWindow window_;

private:
    std::size_t logSeen_ = 0;
};

}  // namespace qe::test

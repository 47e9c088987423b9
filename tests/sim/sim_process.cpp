#include "sim/sim_process.h"

#include <chrono>
#include <csignal>
#include <regex>
#include <stdexcept>

#include <sys/prctl.h>

#include <QProcess>

#include "sim/test_client.h"
#include "support/scoped_dir.h"

namespace qe::test {
namespace {

// A program (searched on PATH) with standard input from /dev/null; it ends with the thread that
// started it, so a crashed test leaves nothing running.
std::unique_ptr<QProcess> Start(const std::vector<std::string>& args) {
    auto process = std::make_unique<QProcess>();
    process->setStandardInputFile(QProcess::nullDevice());
    process->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process->setProgram(QString::fromStdString(args.at(0)));
    QStringList arguments;
    for (auto arg = args.begin() + 1; arg != args.end(); ++arg) {
        arguments << QString::fromStdString(*arg);
    }
    process->setArguments(arguments);
    return process;
}

int ExitStatus(const QProcess& process) {
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -SIGTERM;
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& args) {
    const std::unique_ptr<QProcess> process = Start(args);
    process->start();
    process->waitForFinished(-1);
    return {process->error() == QProcess::FailedToStart ? 127 : ExitStatus(*process),
            process->readAllStandardOutput().toStdString(),
            process->readAllStandardError().toStdString()};
}

SimProcess::SimProcess(const std::string& stateDir, const std::vector<std::string>& extraArgs)
    : logPath_(stateDir + ".stderr"), outPath_(stateDir + ".stdout") {
    std::vector<std::string> args = {QE_SIM_BINARY, "serve", "--state", stateDir};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    process_ = Start(args);
    process_->setStandardOutputFile(QString::fromStdString(outPath_), QIODevice::Truncate);
    process_->setStandardErrorFile(QString::fromStdString(logPath_), QIODevice::Append);
    process_->start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::string ready;
    while ((ready = Output()).find('\n') == std::string::npos &&
           process_->state() != QProcess::NotRunning && !process_->waitForFinished(10) &&
           std::chrono::steady_clock::now() < deadline) {
    }
    static const std::regex kReady(R"(ready api=(\S+) rekey=(\S+) control=(\S+) ca=(\S+)\n)");
    std::smatch match;
    if (!std::regex_match(ready, match, kReady)) {
        Stop();
        throw std::runtime_error("the simulator did not start; its log:\n" + Log());
    }
    api_ = match[1];
    rekey_ = match[2];
    control_ = match[3];
    caPath_ = match[4];
}

SimProcess::~SimProcess() {
    Stop();
}

int SimProcess::Stop() {
    if (process_ && process_->state() != QProcess::NotRunning) {
        process_->terminate();
        process_->waitForFinished(-1);
        exitStatus_ = ExitStatus(*process_);
    }
    return exitStatus_;
}

std::string SimProcess::Output() const {
    return ReadFile(outPath_);
}

std::string SimProcess::Log() const {
    return ReadFile(logPath_);
}

std::string SimProcess::ControlState() const {
    return HttpFetch(control_, "/control/state").body;
}

int SimProcess::SetScenario(const std::string& json) const {
    return HttpFetch(control_, "/control/scenario", {}, json).status;
}

CommandResult ProvisionToken(const std::string& stateDir, const std::string& module,
                             const std::string& slotLabel, const std::string& pin,
                             const std::string& subject, const std::string& email,
                             const std::string& upn) {
    std::vector<std::string> args = {
        QE_SIM_BINARY,  "provision-token", "--state", stateDir, "--module",  module,
        "--slot-label", slotLabel,         "--pin",   pin,      "--subject", subject};
    for (const auto& [name, value] : {std::pair{"--email", email}, {"--upn", upn}}) {
        if (!value.empty()) {
            args.insert(args.end(), {name, value});
        }
    }
    return RunCommand(args);
}

}  // namespace qe::test

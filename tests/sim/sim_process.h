#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

#include "support/scoped_dir.h"

namespace qe::test {

// The quorvane-authority-sim binary of this build.
std::string SimBinary();

struct CommandResult {
    int status = -1;  // exit code, or -signal when a signal ended the process
    std::string out;
    std::string err;
};

// Runs a program (found on PATH when the name has no slash) to its end, capturing its output.
CommandResult RunCommand(const std::vector<std::string>& argv);

// The simulator's `serve` running as a child process on `stateDir`. The constructor waits for the
// ready line and throws std::runtime_error (with the server's standard error) when it does not
// come. The destructor stops the server; so does the end of the thread that started it (a
// crashed test leaves no server behind). Its standard error goes to `stateDir`.stderr.
class SimProcess {
public:
    explicit SimProcess(const std::string& stateDir, const std::vector<std::string>& extraArgs = {},
                        std::chrono::seconds timeout = std::chrono::seconds(60));
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;

    // Starts `serve` on a fresh state directory of its own below the run's scratch space, removed
    // when the object goes.
    static std::unique_ptr<SimProcess> StartFresh(const std::vector<std::string>& extraArgs = {});
    SimProcess& operator=(const SimProcess&) = delete;

    // host:port of each listener, and the PEM file of the CA of the servers' TLS certificates.
    const std::string& api() const { return api_; }
    const std::string& rekey() const { return rekey_; }
    const std::string& control() const { return control_; }
    const std::string& caPath() const { return caPath_; }
    const std::string& readyLine() const { return readyLine_; }
    const std::string& stateDir() const { return stateDir_; }

    // SIGTERM, then waits for the end. Returns the exit code (or -signal); later calls return the
    // same.
    int Stop();
    // What the server wrote to standard output after the ready line (read once it has stopped).
    const std::string& laterStdout() const { return laterStdout_; }
    // Everything the server wrote to standard error so far.
    std::string Log() const;

    // GET /control/state: the orders as JSON text.
    std::string ControlState() const;
    // POST /control/scenario; returns the HTTP status.
    long SetScenario(const std::string& json) const;

    // provision-token on this server's state directory (see the free function below).
    CommandResult ProvisionToken(const std::string& module, const std::string& slotLabel,
                                 const std::string& pin, const std::string& subject,
                                 const std::string& email = "", const std::string& upn = "") const;

private:
    std::unique_ptr<ScopedDir> ownedDir_;  // only for StartFresh
    std::string stateDir_;
    std::string logPath_;
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    int exitStatus_ = -1;
    std::string readyLine_;
    std::string laterStdout_;
    std::string api_;
    std::string rekey_;
    std::string control_;
    std::string caPath_;
};

// Runs `provision-token`; returns the result (the serial number on the first line of `out`).
CommandResult ProvisionToken(const std::string& stateDir, const std::string& module,
                             const std::string& slotLabel, const std::string& pin,
                             const std::string& subject, const std::string& email = "",
                             const std::string& upn = "");

}  // namespace qe::test

#pragma once

#include <memory>
#include <string>
#include <vector>

class QProcess;

namespace qe::test {

struct CommandResult {
    int status = -1;  // exit code, or -signal when a signal ended the process
    std::string out;
    std::string err;
};

// Runs a program (found on PATH when the name has no slash) to its end, capturing its output.
CommandResult RunCommand(const std::vector<std::string>& argv);

// Runs `provision-token`; returns the result (the serial number on the first line of `out`).
CommandResult ProvisionToken(const std::string& stateDir, const std::string& module,
                             const std::string& slotLabel, const std::string& pin,
                             const std::string& subject, const std::string& email = "",
                             const std::string& upn = "");

// The simulator's `serve` running as a child process on `stateDir`. The constructor waits for the
// ready line and throws std::runtime_error (with the server's standard error) when it does not
// come. The destructor stops the server; so does the end of the thread that started it (a
// crashed test leaves no server behind). Its standard error goes to `stateDir`.stderr.
class SimProcess {
public:
    explicit SimProcess(const std::string& stateDir,
                        const std::vector<std::string>& extraArgs = {});
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // host:port of the two servers, and the PEM file of the CA of their TLS certificates.
    const std::string& api() const { return api_; }
    const std::string& rekey() const { return rekey_; }
    const std::string& caPath() const { return caPath_; }

    // SIGTERM, then waits for the end. Returns the exit code (or -signal); later calls return the
    // same.
    int Stop();
    // Everything the server wrote to standard output, and to standard error, so far.
    std::string Output() const;
    std::string Log() const;

    // GET /control/state: the orders as JSON text.
    std::string ControlState() const;
    // POST /control/scenario; returns the HTTP status.
    int SetScenario(const std::string& json) const;

private:
    std::string logPath_;
    std::string outPath_;
    std::unique_ptr<QProcess> process_;
    int exitStatus_ = -1;
    std::string api_;
    std::string rekey_;
    std::string control_;
    std::string caPath_;
};

}  // namespace qe::test

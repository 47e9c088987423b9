#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "support/scoped_dir.h"
#include "toolkit/bytes.h"
#include "toolkit/openssl_ptr.h"

class QProcess;

namespace qe::test {

struct CommandResult {
    int status = -1;  // exit code, or -signal when a signal ended the process
    std::string out, err;
};

// Runs a program (found on PATH when the name has no slash) to its end, capturing its output.
CommandResult RunCommand(const std::vector<std::string>& argv);

// Runs `provision-token`; returns the result (the serial number on the first line of `out`).
CommandResult ProvisionToken(const std::string& stateDir, const std::string& module,
                             const std::string& slotLabel, const std::string& pin,
                             const std::string& subject, const std::string& email = "",
                             const std::string& upn = "", bool alwaysAuthenticate = false,
                             bool otherPrograms = false);

// The simulator's `serve` running as a child process on `stateDir`. The constructor waits for the
// ready line and throws std::runtime_error (with the server's standard error) when it does not
// come. The destructor stops the server; so does the end of the thread that started it (a
// crashed test leaves no server behind). Its standard error goes to `stateDir`.stderr.
class SimProcess {
public:
    explicit SimProcess(const std::string& stateDir,
                        const std::vector<std::string>& extraArgs = {});
    ~SimProcess();

    // host:port of the two servers, and the PEM file of the CA of their TLS certificates.
    const std::string& api() const { return api_; }
    const std::string& rekey() const { return rekey_; }
    const std::string& caPath() const { return caPath_; }

    // SIGTERM, then waits for the end. Returns the exit code (or -signal); later calls return the
    // same.
    int Stop();
    // Everything the server wrote to standard output, and to standard error, so far.
    std::string Output() const { return ReadFile(outPath_); }
    std::string Log() const { return ReadFile(logPath_); }

    // GET /control/state: the orders as JSON text.
    std::string ControlState() const { return Get("/control/state"); }
    // POST /control/state: the orders replaced by what ControlState gave; returns the HTTP status.
    int SetState(const std::string& json) const { return Post("/control/state", json); }
    // POST /control/scenario; returns the HTTP status.
    int SetScenario(const std::string& json) const { return Post("/control/scenario", json); }
    // POST /control/fault (the network fault of one exchange); returns the HTTP status.
    int SetFault(const std::string& json) const { return Post("/control/fault", json); }
    // GET /control/exchanges: those since the last fault was set, as JSON text.
    std::string Exchanges() const { return Get("/control/exchanges"); }
    // The certificate issued for the first order of the control state (DER; empty when none was).
    Bytes IssuedCertificate() const;

private:
    std::string Get(const std::string& target) const;
    int Post(const std::string& target, const std::string& json) const;

    std::string logPath_, outPath_;
    std::unique_ptr<QProcess> process_;
    int exitStatus_ = -1;
    std::string api_, rekey_, control_, caPath_;
};

// A customer whose key lives in software rather than on a token: a certificate from the
// simulator's issuing CA, recorded as issued, with PEM files of both.
struct SoftwareCustomer {
    PkeyPtr key;
    X509Ptr certificate;
    std::string keyPath, certPath;
};

// Issues from the authority in `stateDir` (created when missing) and writes `fileStem`.key/.pem.
// Throws std::runtime_error on failure.
SoftwareCustomer MakeSoftwareCustomer(const std::string& stateDir, const std::string& subject,
                                      const std::string& fileStem);

// A PKCS#10 request for `key` in PEM with CR LF line ends, as the wizard uploads it.
std::string MakeRequestPem(EVP_PKEY* key, const std::string& subject,
                           const EVP_MD* digest = EVP_sha256());

// Opens a delivery with OpenSSL's own CMS code, independent of the simulator's builder.
std::optional<Bytes> OpenDelivery(const Bytes& delivery, EVP_PKEY* key, X509* certificate);

}  // namespace qe::test

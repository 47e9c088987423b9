#pragma once

namespace qe::sim {

// `serve`: the three listeners until SIGTERM or SIGINT. `args` are the arguments after the
// subcommand. Returns the process exit code (0 after a signal, 1 on failure, 2 on bad usage).
int RunServe(int argc, char** args);

// `provision-token`: a key pair and the customer's current certificate on a PKCS#11 token; prints
// the certificate's serial number. Returns the process exit code (0, 1 on failure, 2 on bad usage).
int RunProvisionToken(int argc, char** args);

}  // namespace qe::sim

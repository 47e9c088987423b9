#include "support/connect_proxy.h"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace qe::test {

ConnectProxy::ConnectProxy(bool refuse, const std::string& login) {
    // The port is chosen before tinyproxy binds it, so another program may take it first: only
    // tinyproxy's own word that it listens counts, never a connection that something accepts.
    for (int attempt = 0; attempt < 5 && !process_; ++attempt) {
        port_ = UnusedPort();
        WriteFile(dir_ / "tinyproxy.conf",
                  "Listen 127.0.0.1\nPort " + std::to_string(port_) +
                      "\nMaxClients 20\nLogLevel Info\n" +
                      (geteuid() == 0 ? "User nobody\nGroup nogroup\n" : "") +
                      (refuse ? "ConnectPort 1\n" : "") +
                      (login.empty() ? "" : "BasicAuth " + login + "\n"));
        process_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"tinyproxy", "-d", "-c", dir_ / "tinyproxy.conf"});
        if (!process_->WaitFor("]: listening on fd [") || process_->Ended()) {
            process_.reset();
        }
    }
    if (!process_) {
        throw std::runtime_error("tinyproxy did not start");
    }
}

int ConnectProxy::Requests(int atLeast) const {
    const auto count = [](const std::string& log) {
        int n = 0;
        for (auto at = log.find("): CONNECT "); at != log.npos;
             at = log.find("): CONNECT ", at + 1)) {
            ++n;
        }
        return n;
    };
    process_->WaitUntil([&](const std::string& log) { return count(log) >= atLeast; },
                        ChildProcess::Seconds(5));
    return count(process_->Output());
}

namespace {

std::vector<std::string> PythonCommand(std::vector<std::string> args) {
    args.insert(args.begin(), {"python3", "-u"});
    return args;
}

}  // namespace

PythonPeer::PythonPeer(const std::vector<std::string>& args, const std::string& before)
    : process_(PythonCommand(args)) {
    process_.WaitUntil([](const std::string& out) { return out.find('\n') != out.npos; });
    const std::string out = process_.Output();
    const std::size_t at = out.find(before);
    port_ = at == out.npos ? 0 : std::atoi(out.c_str() + at + before.size());
    if (port_ <= 0) {
        throw std::runtime_error("no port from " + args.at(0) + ": " + out);
    }
}

}  // namespace qe::test

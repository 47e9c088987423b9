#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include <pthread.h>

#include <QGuiApplication>

#include "sim/atomic_file.h"
#include "sim/commands.h"
#include "sim/http_common.h"
#include "sim/listener.h"
#include "sim/routes.h"
#include "sim/sim_context.h"
#include "sim/tls_servers.h"

namespace qe::sim {
namespace {

constexpr const char* kUsage =
    "usage: quorvane-authority-sim serve --state DIR [--bind 127.0.0.1] [--api-port N] "
    "[--rekey-port N] [--control-port N] [--scenario FILE]\n";

struct ServeOptions {
    std::string stateDir;
    std::string bind = "127.0.0.1";
    int apiPort = 0;
    int rekeyPort = 0;
    int controlPort = 0;
    std::string scenarioFile;
};

bool ParsePort(const std::string& text, int& port) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0 || value > 65535) {
        return false;
    }
    port = static_cast<int>(value);
    return true;
}

bool ParseOptions(int argc, char** args, ServeOptions& options) {
    for (int i = 0; i < argc; ++i) {
        const std::string name = args[i];
        if (i + 1 >= argc) {
            return false;
        }
        const std::string value = args[++i];
        if (name == "--state") {
            options.stateDir = value;
        } else if (name == "--bind") {
            options.bind = value;
        } else if (name == "--api-port" || name == "--rekey-port" || name == "--control-port") {
            int& port = name == "--api-port"     ? options.apiPort
                        : name == "--rekey-port" ? options.rekeyPort
                                                 : options.controlPort;
            if (!ParsePort(value, port)) {
                return false;
            }
        } else if (name == "--scenario") {
            options.scenarioFile = value;
        } else {
            return false;
        }
    }
    return !options.stateDir.empty() && !options.bind.empty();
}

std::string HostPort(const std::string& host, int port) {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace

int RunServe(int argc, char** args) {
    ServeOptions options;
    if (!ParseOptions(argc, args, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    // Every thread inherits this mask, so the signals reach only sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a client that hangs up mid-answer is not our end

    // The previews need Qt's painting, not a display.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int qtArgc = 1;
    static char qtName[] = "quorvane-authority-sim";
    static char* qtArgv[] = {qtName, nullptr};
    QGuiApplication application(qtArgc, qtArgv);

    std::error_code ec;
    const std::string stateDir = std::filesystem::absolute(options.stateDir, ec).string();
    std::string error;
    std::optional<Pki> pki = LoadOrCreatePki(stateDir, options.bind, error);
    if (!pki) {
        std::fprintf(stderr, "quorvane-authority-sim: %s\n", error.c_str());
        return 1;
    }
    auto context = std::make_unique<SimContext>(stateDir, std::move(*pki));
    if (!context->orders.Load(error)) {
        std::fprintf(stderr, "quorvane-authority-sim: %s\n", error.c_str());
        return 1;
    }
    if (!options.scenarioFile.empty()) {
        const std::optional<std::string> text = ReadWholeFile(options.scenarioFile);
        Scenario scenario;
        const std::string problem =
            text ? ParseScenario(*text, scenario) : "cannot read " + options.scenarioFile;
        if (!problem.empty()) {
            std::fprintf(stderr, "quorvane-authority-sim: scenario: %s\n", problem.c_str());
            return 1;
        }
        context->scenario.Replace(std::move(scenario));
    }

    std::unique_ptr<httplib::SSLServer> apiServer = MakeApiServer(context->pki, context->network);
    std::unique_ptr<httplib::SSLServer> rekeyServer =
        MakeRekeyServer(context->pki, context->network);
    if (!apiServer || !rekeyServer) {
        std::fprintf(stderr, "quorvane-authority-sim: cannot set up TLS\n");
        return 1;
    }
    AddApiRoutes(*apiServer, *context);
    AddRekeyRoutes(*rekeyServer, *context);
    auto controlServer = std::make_unique<httplib::Server>();
    AddControlRoutes(*controlServer, *context);

    Listener api(std::move(apiServer));
    Listener rekey(std::move(rekeyServer));
    Listener control(std::move(controlServer));
    if (!api.Start(options.bind, options.apiPort, error) ||
        !rekey.Start(options.bind, options.rekeyPort, error) ||
        !control.Start(options.bind, options.controlPort, error)) {
        std::fprintf(stderr, "quorvane-authority-sim: %s\n", error.c_str());
        return 1;
    }

    LogLine("serving the state in " + stateDir);
    std::printf("ready api=%s rekey=%s control=%s ca=%s\n",
                HostPort(options.bind, api.port()).c_str(),
                HostPort(options.bind, rekey.port()).c_str(),
                HostPort(options.bind, control.port()).c_str(), context->pki.caBundlePath.c_str());
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    LogLine(std::string("stopping on ") + (received == SIGINT ? "SIGINT" : "SIGTERM"));
    control.Stop();
    rekey.Stop();
    api.Stop();
    return 0;
}

}  // namespace qe::sim

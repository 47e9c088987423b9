// The APDUs the card receives in each step of a renewal on the pcsc stack: the status check,
// register (after its own status check) and download with acceptance and installation, as the
// wizard runs them behind the scripted window of the end-to-end tests. Counts, not times: the
// card simulator writes its count per INS when it gets SIGUSR1, and a step's figure is the
// difference. Run beside the stack:
//   tests/tokens/with-stack.sh pcsc "Ion Popescu" 4711 24681357 build/bench/card_apdus_bench
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "flows/e2e_fixture.h"

namespace qe::test {
namespace {

constexpr const char* kLabel = "Ion Popescu";
constexpr const char* kPin = "4711";

using Counts = std::map<std::string, long>;

// The simulator's counts now; empty when it did not answer within five seconds.
Counts Snapshot(const std::string& dir) {
    const std::string file = dir + "/card-counts";
    std::remove(file.c_str());
    long pid = 0;
    std::ifstream(dir + "/card-sim.pid") >> pid;
    if (pid <= 0 || kill(static_cast<pid_t>(pid), SIGUSR1) != 0) {
        return {};
    }
    for (int i = 0; i < 100; ++i) {
        std::ifstream in(file);
        std::string ins;
        long n = 0;
        Counts counts;
        while (in >> ins >> n) {
            counts[ins] = n;
        }
        if (counts.count("total") != 0) {
            return counts;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {};
}

void Report(const char* step, const Counts& before, const Counts& after) {
    std::string detail;
    for (const auto& [ins, n] : after) {
        const auto it = before.find(ins);
        const long d = n - (it == before.end() ? 0 : it->second);
        if (ins != "total" && d != 0) {
            detail += " " + ins + ":" + std::to_string(d);
        }
    }
    const long total = after.at("total") - (before.count("total") ? before.at("total") : 0);
    std::printf("%-14s %5ld APDUs  (INS:count%s)\n", step, total, detail.c_str());
}

int Run() {
    const char* module = std::getenv("QE_TOKEN_MODULE");
    const char* dir = std::getenv("QE_CARD_DIR");
    if (module == nullptr || dir == nullptr) {
        std::fputs("card_apdus_bench: run it under tests/tokens/with-stack.sh pcsc\n", stderr);
        return 2;
    }
    ScopedDir home("card-apdus");
    ScopedEnv config("XDG_CONFIG_HOME", (home / "config").c_str());
    ScopedEnv machine("XDG_CONFIG_DIRS", (home / "xdg").c_str());
    std::filesystem::create_directories(home / "config/Nolt/zelenroll/PKCS11Modules");
    WriteFile(home / "config/Nolt/zelenroll/PKCS11Modules/PKCS11Modules", module);
    const CommandResult provisioned = ProvisionToken(
        home / "sim", module, kLabel, kPin, "C=RO,O=Firma Exemplu SRL,CN=Ion Popescu",
        "ion.popescu@example.ro", "ion.popescu@firma.local", true, false);
    if (provisioned.status != 0) {
        std::fprintf(stderr, "card_apdus_bench: provisioning failed: %s\n",
                     provisioned.err.c_str());
        return 1;
    }
    SimProcess sim(home / "sim");
    PointWizardAt(sim);
    ScriptedWindow window;
    Counts before = Snapshot(dir);
    const auto step = [&](const char* name, int mode) {
        window.Clear();
        window.ClearPin();
        window.pinAnswers = {kPin};
        window.mode = mode;
        if (mode == 0) {
            StatusCheckThread(window);
        } else {
            (mode == 1 ? RegisterThread : DownloadThread)(window);
        }
        const Counts after = Snapshot(dir);
        if (after.empty() || before.empty()) {
            std::fprintf(stderr, "card_apdus_bench: the card simulator gave no counts\n");
            std::exit(1);
        }
        Report(name, before, after);
        before = after;
        return window.results.size() == 1 && window.results[0] == ERR_SUCCESS;
    };
    step("status check", 0);
    const bool registered = step("register", 1);
    step("status check", 0);
    const bool downloaded = step("download", 2);
    if (!registered || !downloaded) {
        std::fprintf(stderr, "card_apdus_bench: the renewal did not complete\n");
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace qe::test

int main() {
    return qe::test::Run();
}

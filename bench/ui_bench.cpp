// Start-up of the wizard, measured: from the moment the program is started to the first paint of
// the main window, and to the idle window after the real status check against the simulator on a
// private SoftHSM2 token; with the program's peak resident memory at that point. Each run starts
// a fresh process, offscreen: ui_bench_child, which is the program with a report of those moments.
//
//   ui_bench [--runs N]      (default 10)

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "flows/e2e_fixture.h"
#include "sim/sim_process.h"
#include "support/scoped_dir.h"
#include "support/softhsm.h"

extern char** environ;

namespace qe {
namespace {

long long MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

struct Run {
    double paintMs = -1;
    double idleMs = -1;
    double rssMb = -1;
};

Run Measure(const char* program) {
    int out[2];
    if (pipe(out) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char* args[] = {const_cast<char*>(program), nullptr};
    const long long start = MonotonicNs();
    pid_t pid = -1;
    if (posix_spawn(&pid, program, &actions, nullptr, args, environ) != 0) {
        std::perror("posix_spawn");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    Run run;
    long long painted = 0, idle = 0;
    long rss = 0;
    if (std::sscanf(text.c_str(), "painted %lld idle %lld rss %ld", &painted, &idle, &rss) == 3) {
        run.paintMs = (painted - start) / 1e6;
        run.idleMs = (idle - start) / 1e6;
        run.rssMb = rss / 1024.0;
    }
    return run;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

int Parent(int runs) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    test::ScopedDir dir("ui-bench");
    setenv("TMPDIR", dir.path().c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    test::SoftHsm hsm;
    hsm.InitToken("Ion Popescu", "1234");
    hsm.WriteModuleList({test::SoftHsmLibrary()});
    const std::string state = dir / "sim";
    const test::CommandResult provisioned =
        test::ProvisionToken(state, test::SoftHsmLibrary(), "Ion Popescu", "1234",
                             "C=RO,O=Firma Exemplu SRL,CN=Ion Popescu");
    if (provisioned.status != 0) {
        std::fprintf(stderr, "provision-token failed: %s\n", provisioned.err.c_str());
        return 1;
    }
    test::SimProcess sim(state);
    test::PointWizardAt(sim);

    std::vector<double> paint, idle, rss;
    for (int i = 0; i < runs; ++i) {
        const Run run = Measure(QE_UI_BENCH_CHILD);
        if (run.idleMs < 0) {
            std::fprintf(stderr, "run %d: the window did not report\n", i);
            return 1;
        }
        std::printf("run %d: first paint %.1f ms, idle %.1f ms, peak RSS %.1f MB\n", i, run.paintMs,
                    run.idleMs, run.rssMb);
        paint.push_back(run.paintMs);
        idle.push_back(run.idleMs);
        rss.push_back(run.rssMb);
    }
    std::printf(
        "median: first paint %.1f ms (max %.1f), idle %.1f ms (max %.1f), peak RSS %.1f MB "
        "(max %.1f)\n",
        Median(paint), *std::max_element(paint.begin(), paint.end()), Median(idle),
        *std::max_element(idle.begin(), idle.end()), Median(rss),
        *std::max_element(rss.begin(), rss.end()));
    return 0;
}

}  // namespace
}  // namespace qe

int main(int argc, char** argv) {
    const int runs = argc > 2 && std::string(argv[1]) == "--runs" ? std::atoi(argv[2]) : 10;
    return qe::Parent(std::max(runs, 1));
}

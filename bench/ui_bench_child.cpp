// The wizard's own start-up for ui_bench: prints when the main window first painted and when it
// became idle after the status check (CLOCK_MONOTONIC, ns), then its peak RSS (KiB), and leaves.

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "app/application.h"
#include "ui/main_window.h"

namespace {

long long MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
    qe::CQuorvaneEnrollApp program;
    program.windowCreated = [](qe::CQuorvaneEnrollDlg& window) {
        QObject::connect(&window, &qe::CQuorvaneEnrollDlg::FirstPainted,
                         [] { std::printf("painted %lld\n", MonotonicNs()); });
        QObject::connect(&window, &qe::CQuorvaneEnrollDlg::BecameIdle, [] {
            std::printf("idle %lld\n", MonotonicNs());
            rusage usage{};
            getrusage(RUSAGE_SELF, &usage);
            std::printf("rss %ld\n", usage.ru_maxrss);
            std::fflush(stdout);
            std::_Exit(0);  // the status-check worker may still be returning
        });
    };
    return program.InitInstance(argc, argv);
}

// Every test program works in a temporary folder of its own below the run's scratch space
// ($QE_TEST_TMP): made before main, set as TMPDIR, and removed with everything in it when the
// program ends. Programs never share the wizard's log, and a run leaves no folder behind. The
// state folder (the expiry reminder's memory of certificates) is in it too, never the user's.
#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

struct ProgramTempDir {
    ProgramTempDir() {
        const char* base = std::getenv("QE_TEST_TMP");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/" +
                              program_invocation_short_name + "-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            path = pattern;
            setenv("TMPDIR", path.c_str(), 1);
            setenv("XDG_STATE_HOME", (path + "/state").c_str(), 1);
        }
    }
    ~ProgramTempDir() {
        // A forked child that exits normally must not take its parent's folder with it.
        if (!path.empty() && getpid() == owner) {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    }
    std::string path;
    pid_t owner = getpid();
} g_programTempDir;

}  // namespace

#include "sim/softhsm.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "sim/sim_process.h"

namespace qe::test {

SoftHsm::SoftHsm() : dir_("softhsm") {
    std::filesystem::create_directory(dir_ / "tokens");
    WriteFile(dir_ / "softhsm2.conf", "directories.tokendir = " + (dir_ / "tokens") +
                                          "\nobjectstore.backend = file\nlog.level = ERROR\n"
                                          "slots.removable = false\n");
    if (const char* previous = std::getenv("SOFTHSM2_CONF")) {
        previousConf_ = previous;
        hadPreviousConf_ = true;
    }
    setenv("SOFTHSM2_CONF", (dir_ / "softhsm2.conf").c_str(), 1);
}

SoftHsm::~SoftHsm() {
    if (hadPreviousConf_) {
        setenv("SOFTHSM2_CONF", previousConf_.c_str(), 1);
    } else {
        unsetenv("SOFTHSM2_CONF");
    }
}

std::string SoftHsm::ModulePath() {
    for (const char* candidate :
         {"/usr/lib/softhsm/libsofthsm2.so", "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so"}) {
        if (std::filesystem::exists(candidate)) {
            return candidate;
        }
    }
    throw std::runtime_error("SoftHSM2 is not installed");
}

void SoftHsm::InitToken(const std::string& label, const std::string& pin,
                        const std::string& soPin) {
    const CommandResult result = RunCommand({"softhsm2-util", "--init-token", "--free", "--label",
                                             label, "--pin", pin, "--so-pin", soPin});
    if (result.status != 0) {
        throw std::runtime_error("softhsm2-util failed: " + result.out + result.err);
    }
}

}  // namespace qe::test

#pragma once

#include <memory>
#include <string>

#include "support/scoped_dir.h"

namespace qe::test {

// A private SoftHSM2 installation for one test: its own configuration and token directory below
// the run's scratch space. Points SOFTHSM2_CONF at it for this process and its children while it
// lives.
class SoftHsm {
public:
    SoftHsm();
    ~SoftHsm();
    SoftHsm(const SoftHsm&) = delete;
    SoftHsm& operator=(const SoftHsm&) = delete;

    static std::string ModulePath();

    // Initialises a token in the next free slot; throws std::runtime_error on failure.
    void InitToken(const std::string& label, const std::string& pin,
                   const std::string& soPin = "87654321");

private:
    ScopedDir dir_;
    std::string previousConf_;
    bool hadPreviousConf_ = false;
};

}  // namespace qe::test

#pragma once

#include "token/token_step.h"

namespace qe::test {

// The step a test's token calls run in when the test is not about a customer's step.
inline TokenStep& NoTokenStep() {
    static NoStep none;
    return none;
}

}  // namespace qe::test

#include "flows/launch_link.h"

#include <gtest/gtest.h>

namespace qe {
namespace {

TEST(LaunchLink, ExactWholeStringOnly) {
    EXPECT_EQ(ParseLaunchLink("quorvaneenroll://register/"), LaunchCommand::Register);
    EXPECT_EQ(ParseLaunchLink("quorvaneenroll://download/"), LaunchCommand::Download);
    for (const char* other : {"quorvaneenroll://register", "QUORVANEENROLL://REGISTER/",
                              "quorvaneenroll://register/?tkh=1", " quorvaneenroll://register/",
                              "quorvaneenroll://download/ ", "quorvaneenroll://register%2F", ""}) {
        EXPECT_EQ(ParseLaunchLink(other), LaunchCommand::None) << other;
    }
    EXPECT_EQ(ParseLaunchLink(nullptr), LaunchCommand::None);
}

}  // namespace
}  // namespace qe

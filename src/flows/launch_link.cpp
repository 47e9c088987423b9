#include "flows/launch_link.h"

namespace qe {

LaunchCommand ParseLaunchLink(const char* argument) {
    if (argument == nullptr) {
        return LaunchCommand::None;
    }
    const std::string_view link(argument);
    if (link == kRegisterLink) {
        return LaunchCommand::Register;
    }
    if (link == kDownloadLink) {
        return LaunchCommand::Download;
    }
    return LaunchCommand::None;
}

}  // namespace qe

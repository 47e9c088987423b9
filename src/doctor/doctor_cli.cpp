#include "doctor/doctor_cli.h"

#include <cstdlib>
#include <optional>

#include "doctor/bundle.h"
#include "doctor/doctor_report.h"
#include "doctor/log_tail.h"
#include "doctor/survey_child.h"
#include "log/enroll_log.h"
#include "token/config_store.h"
#include "token/module_list.h"

namespace qe {
namespace {

// The bundle carries this much of the end of the log; the file has no size limit of its own.
constexpr std::size_t kBundleLogBytes = 8 << 20;

// Longer than a day is no limit a support report can wait for.
constexpr unsigned long kMaxTimeout = 86400;

constexpr const char* kUsage =
    "usage: quorvane-enroll-doctor [--offline] [--timeout SECONDS] [--bundle FILE]\n"
    "Shows what support needs to know about the token libraries, the tokens, the handler of\n"
    "quorvaneenroll:// links, the servers and the diagnostic log. It never asks for a PIN and\n"
    "never changes a token.\n"
    "  --offline          leave out the server checks\n"
    "  --timeout SECONDS  how long each token library may take before it is reported as not\n"
    "                     answering and stopped (default 30)\n"
    "  --bundle FILE      also write the report, the diagnostic logs and the module list into\n"
    "                     the zip archive FILE, to attach to a support request\n"
    "  --help             show this text\n";

struct Arguments {
    DoctorOptions options;
    std::optional<std::string> bundle;
    bool help = false;
};

// The value of "--name VALUE" or "--name=VALUE" at `i` (moved past it); empty when missing.
std::string Value(const std::vector<std::string>& args, std::size_t& i, const std::string& name) {
    if (args[i] == name) {
        return i + 1 < args.size() ? args[++i] : "";
    }
    return args[i].substr(name.size() + 1);
}

bool Parse(const std::vector<std::string>& args, Arguments& parsed, std::string& problem) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
        } else if (arg == "--offline") {
            parsed.options.probeHosts = false;
        } else if (arg == "--timeout" || arg.rfind("--timeout=", 0) == 0) {
            const std::string value = Value(args, i, "--timeout");
            char* end = nullptr;
            const unsigned long seconds = std::strtoul(value.c_str(), &end, 10);
            // Nothing, a sign of its own or a negative number (read as a huge one) fails here.
            if (*end != '\0' || seconds == 0 || seconds > kMaxTimeout) {
                problem = "--timeout needs a number of seconds from 1 to 86400";
                return false;
            }
            parsed.options.timeout = std::chrono::seconds(seconds);
        } else if (arg == "--bundle" || arg.rfind("--bundle=", 0) == 0) {
            std::string file = Value(args, i, "--bundle");
            if (file.empty() || parsed.bundle) {
                problem = "--bundle needs one file name";
                return false;
            }
            parsed.bundle = file;
        } else {
            problem = "unknown argument: " + arg;
            return false;
        }
    }
    return true;
}

std::vector<BundleEntry> BundleEntries(const ReportSources& sources, std::string text) {
    std::vector<BundleEntry> entries{{"report.txt", std::move(text)}};
    std::string content;
    if (!sources.logPath.empty() && ReadFileTail(sources.logPath, kBundleLogBytes, content) == 0) {
        entries.push_back({kLogFileName, std::move(content)});
    }
    // The expiry reminder keeps its own log beside the wizard's.
    const std::string reminderLog =
        sources.logPath.substr(0, sources.logPath.rfind('/') + 1) + kReminderLogFileName;
    if (!sources.logPath.empty() && ReadFileTail(reminderLog, kBundleLogBytes, content) == 0) {
        entries.push_back({kReminderLogFileName, std::move(content)});
    }
    const std::string& list = sources.moduleListPath;
    content.clear();
    if (!list.empty() &&
        ReadConfigValue(list.substr(0, list.rfind('/')), kModuleValueName, content) == 0) {
        entries.push_back({kModuleValueName, std::move(content)});
    }
    return entries;
}

}  // namespace

int RunDoctor(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              const std::string& self) {
    // Opening the wizard's log would add to it, or empty it on a new day: it is only read here.
    KeepLogClosed();
    if (args.size() == 3 && args[0] == kSurveyArgument) {
        return RunSurveyChild(args[1], args[2]);
    }
    if (!args.empty() && args[0] == kListingArgument) {
        return RunListingChild({args.begin() + 1, args.end()});
    }
    Arguments parsed;
    std::string problem;
    if (!Parse(args, parsed, problem)) {
        err << "quorvane-enroll-doctor: " << problem << "\n" << kUsage;
        return 2;
    }
    if (parsed.help) {
        out << kUsage;
        return 0;
    }
    parsed.options.program = self;
    ReportSources sources;
    std::string text = WriteReport(parsed.options, out, sources);
    if (!parsed.bundle) {
        return 0;
    }
    std::string error;
    if (!WriteBundle(*parsed.bundle, BundleEntries(sources, std::move(text)), error)) {
        err << "quorvane-enroll-doctor: no bundle written: " << error << "\n";
        return 1;
    }
    out << "\nbundle written: " << *parsed.bundle << "\n";
    return 0;
}

}  // namespace qe

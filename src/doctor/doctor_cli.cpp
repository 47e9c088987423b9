#include "doctor/doctor_cli.h"

#include <optional>

#include "doctor/bundle.h"
#include "doctor/doctor_report.h"
#include "doctor/log_tail.h"
#include "log/enroll_log.h"
#include "token/config_store.h"
#include "token/module_list.h"

namespace qe {
namespace {

// The bundle carries this much of the end of the log; the file has no size limit of its own.
constexpr std::size_t kBundleLogBytes = 8 << 20;

constexpr const char* kUsage =
    "usage: quorvane-enroll-doctor [--offline] [--bundle FILE]\n"
    "Shows what support needs to know about the token libraries, the tokens, the servers and\n"
    "the diagnostic log. It never asks for a PIN and never changes a token.\n"
    "  --offline      leave out the server checks\n"
    "  --bundle FILE  also write the report, the diagnostic log and the module list into the\n"
    "                 zip archive FILE, to attach to a support request\n"
    "  --help         show this text\n";

struct Arguments {
    DoctorOptions options;
    std::optional<std::string> bundle;
    bool help = false;
};

bool Parse(const std::vector<std::string>& args, Arguments& parsed, std::string& problem) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
        } else if (arg == "--offline") {
            parsed.options.probeHosts = false;
        } else if (arg == "--bundle" || arg.rfind("--bundle=", 0) == 0) {
            std::string file =
                arg == "--bundle" ? (i + 1 < args.size() ? args[++i] : "") : arg.substr(9);
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

std::vector<BundleEntry> BundleEntries(const DoctorReport& report, std::string text) {
    std::vector<BundleEntry> entries{{"report.txt", std::move(text)}};
    std::string content;
    if (!report.logPath.empty() && ReadFileTail(report.logPath, kBundleLogBytes, content) == 0) {
        entries.push_back({kLogFileName, std::move(content)});
    }
    const std::string& list = report.moduleList.path;
    content.clear();
    if (!list.empty() &&
        ReadConfigValue(list.substr(0, list.rfind('/')), kModuleValueName, content) == 0) {
        entries.push_back({kModuleValueName, std::move(content)});
    }
    return entries;
}

}  // namespace

int RunDoctor(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    // Opening the wizard's log would add to it, or empty it on a new day: it is only read here.
    KeepLogClosed();
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
    const DoctorReport report = CollectReport(parsed.options);
    std::string text = RenderReport(report, parsed.options);
    out << text << std::flush;
    if (!parsed.bundle) {
        return 0;
    }
    std::string error;
    if (!WriteBundle(*parsed.bundle, BundleEntries(report, std::move(text)), error)) {
        err << "quorvane-enroll-doctor: no bundle written: " << error << "\n";
        return 1;
    }
    out << "\nbundle written: " << *parsed.bundle << "\n";
    return 0;
}

}  // namespace qe

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <tuple>

#include "doctor/report_sections.h"

namespace qe {
namespace {

std::string TokenText(const SeenToken& token) {
    return "token " + Printable(token.serial) + " (slot id " + HexNumber(token.slotId) +
           ") through " + Printable(token.module);
}

// A token is its serial number, manufacturer and model; seen through two library files it is
// one token twice. One library showing it in two slots (a spare slot, or a library that gives
// every token one dummy serial) is not that.
void RenderShared(const std::vector<ModuleOutcome>& modules, ReportWriter& out) {
    using Identity = std::tuple<std::string, std::string, std::string>;
    std::map<Identity, std::vector<std::string>> places;
    std::map<Identity, std::set<std::string>> libraries;
    for (const ModuleOutcome& module : modules) {
        for (const SeenToken& token : module.report.tokens) {
            const Identity identity{token.serial, token.manufacturer, token.model};
            places[identity].push_back(Printable(module.name) + " (slot id " +
                                       HexNumber(token.slotId) + ")");
            libraries[identity].insert(module.name);
        }
    }
    bool shared = false;
    for (const auto& [identity, names] : libraries) {
        if (names.size() > 1) {
            shared = true;
            out.Line(0, "token " + Printable(std::get<0>(identity)) + " is seen through " +
                            std::to_string(names.size()) + " libraries:");
            for (const std::string& place : places.at(identity)) {
                out.Line(1, place);
            }
        }
    }
    if (!shared) {
        out.Line(0, "no token is seen through more than one library");
    }
}

}  // namespace

std::string ChildEndText(const ChildRun& run, std::chrono::seconds limit) {
    switch (run.end) {
        case ChildRun::End::Signalled: {
            const char* name = sigabbrev_np(run.code);
            return "crashed (signal " + std::to_string(run.code) +
                   (name != nullptr ? std::string(", SIG") + name : std::string()) + ")";
        }
        case ChildRun::End::TimedOut:
            return "did not answer in " + std::to_string(limit.count()) + " s";
        case ChildRun::End::Exited:
            return "ended without a report (exit status " + std::to_string(run.code) + ")";
        case ChildRun::End::NotStarted:
            break;
    }
    return std::string("could not be started: ") + std::strerror(run.code);
}

void RenderTokenOverview(const std::vector<ModuleOutcome>& modules, const ChildRun& listingRun,
                         const ChildReport& listing, std::chrono::seconds limit,
                         ReportWriter& out) {
    out.Section("Tokens");
    RenderShared(modules, out);
    // The wizard's own listing decides, as its token selection does: none, one or several.
    const std::string key = "the wizard would find";
    if (!listing.complete) {
        out.Field(0, key, "unknown: its token listing " + ChildEndText(listingRun, limit));
    } else if (listing.tokens.empty()) {
        out.Field(0, key, "no token (it stops with \"no token\")");
    } else if (listing.tokens.size() == 1) {
        out.Field(0, key, TokenText(listing.tokens.front()));
    } else {
        out.Field(
            0, key,
            std::to_string(listing.tokens.size()) + " tokens (it stops with \"several tokens\")");
        for (const SeenToken& token : listing.tokens) {
            out.Line(1, TokenText(token));
        }
    }
}

}  // namespace qe

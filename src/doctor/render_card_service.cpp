#include "doctor/report_sections.h"

namespace qe {

void RenderCardService(const PcscView& view, const std::vector<ModuleOutcome>& modules,
                       ReportWriter& out) {
    out.Section("Card service");
    if (!view.answers) {
        out.Field(0, "pcscd",
                  "does not answer: " + PcscErrorText(view.error) +
                      "; tokens reached through a card reader cannot be seen");
        return;
    }
    out.Field(0, "pcscd", "answers");
    out.Field(0, "readers", view.readers.empty() ? "none" : std::to_string(view.readers.size()));
    for (const PcscReader& reader : view.readers) {
        out.Line(1, Printable(reader.name));
        out.Field(2, "card", CardPresenceText(reader.card));
        if (!reader.atr.empty()) {
            out.Field(2, "ATR", ToHexLower(reader.atr));
        }
        if (reader.card == CardPresence::Absent) {
            continue;
        }
        std::vector<std::string> seenBy;
        for (std::size_t i = 0; i < modules.size(); ++i) {
            for (const std::string& description : modules[i].report.readers) {
                if (SlotNamesReader(description, reader.name)) {
                    seenBy.push_back("module " + std::to_string(i + 1) + " " +
                                     Printable(modules[i].name));
                    break;
                }
            }
        }
        out.Field(2, "seen by",
                  seenBy.empty() ? "no library of the module list: its software is not installed"
                                 : Join(seenBy));
    }
}

void RenderVendorLibraries(const std::vector<VendorLibrary>& libraries, ReportWriter& out) {
    out.Field(0, "makers' libraries in the library folders",
              libraries.empty() ? "none" : std::to_string(libraries.size()));
    for (const VendorLibrary& library : libraries) {
        out.Line(1,
                 Printable(library.path) + (library.registered ? ": registered with p11-kit"
                                                               : ": not registered with p11-kit"));
    }
}

}  // namespace qe

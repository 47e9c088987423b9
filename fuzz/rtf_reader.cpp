#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ui/rtf_reader.h"

// Reads any bytes as the alert dialogs' rich text: never a crash, a hang or an unbounded
// allocation, and every run and paragraph readable.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view source(reinterpret_cast<const char*>(data), size);
    const qe::RtfDocument document = qe::ReadRtf(source);
    std::size_t characters = 0;
    for (const qe::RtfParagraph& paragraph : document.paragraphs) {
        for (const qe::RtfRun& run : paragraph.runs) {
            characters += run.text.size();
        }
    }
    if (characters > size) {
        __builtin_trap();  // every character comes from at least one byte of the source
    }
    return 0;
}

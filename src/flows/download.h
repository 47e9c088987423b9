#pragma once

#include <string>

#include "flows/step_context.h"
#include "flows/window_port.h"
#include "toolkit/bytes.h"
#include "toolkit/error_id.h"

namespace qe {

// What the download brings for the acceptance step: the issued certificate and the declaration
// as temporary files (mode 0600 in the private temporary directory), which go when this does.
struct DownloadedDeclaration {
    DownloadedDeclaration() = default;
    ~DownloadedDeclaration();
    DownloadedDeclaration(const DownloadedDeclaration&) = delete;
    DownloadedDeclaration& operator=(const DownloadedDeclaration&) = delete;

    // Deletes the preview files now and forgets their paths.
    void RemoveFiles();

    Bytes certificate;  // DER, as decrypted
    std::string pdfPath;
    std::string jpegPath;
};

// The first half of the download command: the issued certificate and the two previews of the
// acceptance declaration, each an encrypted delivery opened on the token. Returns 0, 6 or 2 for
// the token, 8 for its hash, 1 when the user gave no PIN, the delivery's identifier (7, 9, 10, 12,
// 13), or 33 when a preview could not be written whole (then nothing is left on disk).
ErrorId DownloadForAcceptance(StepContext& step, WindowPort& port,
                              DownloadedDeclaration& declaration, unsigned previewWidth);

// Writes `data` to a new file "<dir>quorvaneEnrollPV<n><extension>" in the private temporary
// directory, with the first n from 0 whose name is free; never overwrites. Returns the path, or
// empty (the last system error set) when no file could be created or written whole.
std::string WritePreviewFile(const Bytes& data, const std::string& extension);

// Removes the preview files a copy of the program that was killed left in the private temporary
// directory (they hold the customer's personal data). Only while no other copy can be using them.
void RemoveLeftPreviews();

}  // namespace qe

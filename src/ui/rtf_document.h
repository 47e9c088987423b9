#pragma once

#include <memory>
#include <string_view>

#include <QTextDocument>

namespace qe {

// The alert dialogs' rich text (RTF source from the catalogue) as a document for a read-only text
// view: paragraphs with their alignment and spacing, runs with size, colours, underline, and the
// HYPERLINK fields as anchors.
std::unique_ptr<QTextDocument> RtfToDocument(std::wstring_view rtf);

}  // namespace qe

#pragma once

#include "sim/declaration.h"
#include "toolkit/bytes.h"

namespace qe::sim {

inline constexpr int kMinPreviewWidth = 16;
inline constexpr int kMaxPreviewWidth = 2480;  // an A4 page at 300 dots per inch

// The declaration as a one-page A4 PDF with its fonts embedded. Needs a QGuiApplication (the
// offscreen platform is enough); callers on any thread are served one at a time. Empty when
// rendering fails.
Bytes RenderDeclarationPdf(const Declaration& declaration);

// The same page as a JPEG image `width` pixels wide (kMinPreviewWidth to kMaxPreviewWidth), its
// height in the page's proportions. Empty when the width is out of range or rendering fails.
Bytes RenderDeclarationJpeg(const Declaration& declaration, int width);

}  // namespace qe::sim

#pragma once

class QWidget;

namespace qe {

// Leaves the title bar of a shown top-level window empty. Qt names a window without a title
// after the application; the window system's own title properties are cleared instead. Call it
// once the window exists (from its show event, before it is mapped). Does nothing where the
// platform keeps no such properties (offscreen).
void ClearWindowTitle(QWidget* window);

}  // namespace qe

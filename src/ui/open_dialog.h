#pragma once

class QDialog;

namespace qe {

// Opens `dialog` (QDialog::open) over the window it belongs to. On Wayland a compositor places a
// new window where it likes, and Qt's own title bars carry minimise and maximise buttons on every
// window: there the dialog opens instead as a sheet inside that window, centred over it under a
// bar with its title (scrolled if the window is smaller), the focus on its default button or its
// first control, and the rest of the window takes no input until the dialog ends.
void OpenDialog(QDialog* dialog);

}  // namespace qe

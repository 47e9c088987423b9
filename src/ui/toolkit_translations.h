#pragma once

namespace qe {

// Qt's own texts (scroll bar and text menus, standard buttons, accessibility actions) in
// Romanian: the distribution's catalogue when it has one, and under it the program's own
// translation of those a screen of the wizard can show, since Qt ships none for Romanian yet.
// Call once the application object exists.
void InstallToolkitTranslations();

}  // namespace qe

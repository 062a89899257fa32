#pragma once
// The program's icon (window, tray and boxes), drawn at start: a wheel of the button colour on
// the dialog background. User-interface thread.
#include <QIcon>

namespace kv::ui {

QIcon programIcon();

} // namespace kv::ui

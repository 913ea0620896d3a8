#pragma once
// The application icon: the window's, the tray's and the About box's. User-interface thread.

#include <QIcon>

namespace tarvell
{

// A seismogram trace on a dark blue tile, drawn for the usual icon sizes.
QIcon ApplicationIcon();

} // namespace tarvell

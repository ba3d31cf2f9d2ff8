#pragma once

#include "TrayStatus.h"

#include <QIcon>

// The three icons of the agent (program, busy, terminating), painted at
// start in 16 x 16 and 32 x 32: an envelope on a coloured tile, so they stay
// legible at tray size.
namespace TrayArtwork {
QIcon IconFor(TrayStatus::Icon icon);
} // namespace TrayArtwork

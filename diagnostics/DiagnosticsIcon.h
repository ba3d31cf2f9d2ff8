#pragma once

#include <QIcon>

// The program's icon, the same picture as its menu entry's: the agent's
// letter under a magnifying glass. Painted at start, so the program needs
// no image files or image plug-ins to show it.
class DiagnosticsIcon
{
public:
    static QIcon Icon();

private:
    static QPixmap Paint(int size);
};

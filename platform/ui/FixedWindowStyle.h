#pragma once

class QWidget;

// Stand-in for the system's fixed-border window style: the window keeps the
// size it was drawn at. Its frame offers minimise and close but neither
// maximise nor resizing, and a maximised or full-screen state that a window
// manager imposes anyway is undone at once.
namespace FixedWindowStyle {

// Call before the window is first shown, after its size is fixed.
void Apply(QWidget *window);

} // namespace FixedWindowStyle

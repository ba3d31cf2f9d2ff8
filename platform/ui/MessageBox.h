#pragma once

#include <QString>

// Stand-in for the system's modal message box: title, text, one icon, an OK
// button. Without a display nobody could answer a box and it would block the
// agent, so the text goes to standard error instead.
namespace MessageBox {

enum class Icon { Information, Exclamation, Critical };

// True when boxes can be shown (a display exists and a widget application
// is running).
bool CanShowBoxes();

// Shows the box and returns when the user closed it; headless, writes
// "<title>: <text>" to standard error and returns at once.
void Show(Icon icon, const QString &title, const QString &text);

} // namespace MessageBox

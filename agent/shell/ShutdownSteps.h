#pragma once

class Winsock;
class modMain;

// The steps every way out of the program shares (the window's "&Quit",
// the tray's "Exit", the close box, and SIGTERM/SIGINT without a display).
namespace ShutdownSteps {

// The window unload: the POP3 socket, then the SMTP socket are closed
// whatever their state (a client connection is dropped without a reply),
// then the tray shows the terminating icon and tip.
void Unload(modMain &state, Winsock &wskPop, Winsock &wskSmtp);

// The final clean-up once the window is gone: the log file is closed.
void CloseLog(modMain &state);

} // namespace ShutdownSteps

#pragma once

// The POP3 dialogue state. The numbers are the ones the log and the
// watchdog speak of.
enum class PopState : int {
    Greeted = 0,      // connected and greeted, no user yet
    UserAccepted = 1, // USER accepted, PASS expected
    Transaction = 2,  // logged in (or let through after 403/503)
    QuitSent = 99,    // the final "+OK" of QUIT has been handed to the socket
};

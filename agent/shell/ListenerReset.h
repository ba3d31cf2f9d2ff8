#pragma once

class Winsock;

// Returning a listener socket to a known state after a dialogue or a fault.
namespace ListenerReset {

// Closes the socket until it reports closed: at least one close, then at
// most MaxCloseAttempts more, each followed by a wait of up to
// CloseRetryWaitMs that ends early when the socket has closed. Errors while
// closing are of no interest: only the final state counts.
void CloseAndWait(Winsock &socket);

// A socket whose close does not take effect at once is asked again after
// this long, letting events run meanwhile.
inline constexpr int CloseRetryWaitMs = 100;
// Bounded so that a socket that never closes cannot hang the agent
// (50 x 100 ms = 5 s).
inline constexpr int MaxCloseAttempts = 50;

} // namespace ListenerReset

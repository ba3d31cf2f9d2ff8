#pragma once

// Whether the program's quit has been heard. The quit ends the event loops
// running at that moment; every wait that lets events run asks this too, so
// a wait begun after the quit (the next attempt of an operation, a wait up
// the stack) ends at once instead of holding up the agent's end.
class ProgramQuit
{
public:
    // Starts listening for the quit, once the application exists; each wait
    // calls it as it begins.
    static void Watch();
    static bool Heard();
};

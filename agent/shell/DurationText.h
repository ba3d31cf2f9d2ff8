#pragma once

#include <QString>

// A time limit as the log shows it: "5 minutes" for the limits the agent
// ships with; shortened ones (set for tests) read as what they are
// ("30 seconds", "250 ms").
QString DurationText(int milliseconds);

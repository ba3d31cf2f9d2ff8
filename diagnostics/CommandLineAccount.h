#pragma once

#include <QString>

#include <cstdio>

// The password of the account named on the command line ("--user NAME").
// Without a display it comes from standard input, one line, so a script can
// test any account without putting its password where other users of the
// machine could read it.
class CommandLineAccount
{
public:
    static constexpr qsizetype MaxPasswordBytes = 1024;

    // One line of input without its line end, at most MaxPasswordBytes; on a
    // terminal asked for on standard error and not echoed.
    static QString ReadPassword(std::FILE *input);

private:
    static QByteArray ReadLine(std::FILE *input);
};

#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>
#include <optional>

// The account to test named on the command line: "--user NAME" (or
// "--user=NAME"). Without a display the password comes from standard input,
// one line, so a script can test any account without putting its password
// where other users of the machine could read it.
class CommandLineAccount
{
public:
    static constexpr qsizetype MaxPasswordBytes = 1024;

    // The user name, nothing when the option is not given. A "--user"
    // without a name sets missingName.
    static std::optional<QString> UserName(const QStringList &arguments, bool *missingName);

    // One line of input without its line end, at most MaxPasswordBytes; on a
    // terminal asked for on standard error and not echoed.
    static QString ReadPassword(std::FILE *input);

private:
    static QByteArray ReadLine(std::FILE *input);
};

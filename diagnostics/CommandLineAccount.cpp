#include "CommandLineAccount.h"

#include <QByteArray>

#ifndef Q_OS_WIN
#include <termios.h>
#include <unistd.h>
#endif

namespace {

#ifndef Q_OS_WIN
// Keeps what is typed off the screen while it lives.
class EchoOff
{
public:
    explicit EchoOff(int fd)
        : m_fd(fd)
    {
        m_active = ::isatty(fd) && ::tcgetattr(fd, &m_saved) == 0;
        if (!m_active)
            return;
        termios quiet = m_saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        m_active = ::tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff()
    {
        if (m_active)
            ::tcsetattr(m_fd, TCSAFLUSH, &m_saved);
    }
    bool active() const { return m_active; }

private:
    int m_fd;
    termios m_saved{};
    bool m_active = false;
};
#endif

} // namespace

QString CommandLineAccount::ReadPassword(std::FILE *input)
{
#ifndef Q_OS_WIN
    const EchoOff quiet(::fileno(input));
    if (quiet.active()) {
        std::fputs("Password: ", stderr);
        std::fflush(stderr);
    }
    const QByteArray line = ReadLine(input);
    if (quiet.active())
        std::fputs("\n", stderr);
#else
    const QByteArray line = ReadLine(input);
#endif
    return QString::fromLocal8Bit(line);
}

QByteArray CommandLineAccount::ReadLine(std::FILE *input)
{
    QByteArray line;
    for (int c = std::fgetc(input); c != EOF && c != '\n'; c = std::fgetc(input)) {
        if (line.size() < MaxPasswordBytes)
            line.append(char(c));
    }
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

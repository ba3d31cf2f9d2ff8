#pragma once

#include <QByteArray>
#include <QObject>

class modMain;
class Winsock;

// The SMTP front end: serves one client at a time on wskSmtp, which the entry
// point has already set listening (or tried to).
class SmtpFrontEnd : public QObject
{
    Q_OBJECT
public:
    SmtpFrontEnd(modMain &state, Winsock &wskSmtp, QObject *parent = nullptr);
    ~SmtpFrontEnd() override;

    // One command line (without CRLF) in, one reply out (with its CRLF), no
    // socket calls.
    QByteArray HandleSmtpCommand(const QByteArray &line);

private:
    struct Private;
    Private *d;
};

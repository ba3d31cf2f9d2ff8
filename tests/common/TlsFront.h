#pragma once

#include <QProcess>
#include <QString>

// A TLS front for a plain HTTP server in a test: socat, listening with TLS
// on a free port of 127.0.0.1 with the certificate and key given, passes
// every connection on to the server's plain port. It is stopped (by its
// process id) when the object goes.
class TlsFront
{
public:
    // The wait for socat to listen.
    static constexpr int StartLimitMs = 20000;

    ~TlsFront();

    // False (see problem()) when socat could not be started or does not
    // listen in time.
    bool start(const QString &certificateFile, const QString &keyFile, quint16 plainPort);
    quint16 port() const { return m_port; }
    // "https://127.0.0.1:<port>" followed by the path.
    QString url(const QString &path = QStringLiteral("/")) const;
    QString problem() const { return m_problem; }

private:
    QProcess m_socat;
    quint16 m_port = 0;
    QString m_problem;
};

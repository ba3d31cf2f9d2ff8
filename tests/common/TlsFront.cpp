#include "TlsFront.h"

#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>

namespace {

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort(); // closed when probe goes
}

} // namespace

TlsFront::~TlsFront()
{
    if (m_socat.state() != QProcess::NotRunning) {
        m_socat.kill();
        m_socat.waitForFinished();
    }
}

bool TlsFront::start(const QString &certificateFile, const QString &keyFile, quint16 plainPort)
{
    m_port = freePort();
    if (m_port == 0) {
        m_problem = QStringLiteral("no free port");
        return false;
    }
    // "-d -d" makes socat say when it listens; that line is what we wait for.
    const QString listen = QStringLiteral("OPENSSL-LISTEN:%1,bind=127.0.0.1,reuseaddr,fork,cert=%2,key=%3,verify=0")
                               .arg(m_port)
                               .arg(certificateFile, keyFile);
    const QString forward = QStringLiteral("TCP:127.0.0.1:%1").arg(plainPort);
    QSignalSpy said(&m_socat, &QProcess::readyReadStandardError);
    m_socat.start(QStringLiteral("socat"), {QStringLiteral("-d"), QStringLiteral("-d"), listen, forward});
    if (!m_socat.waitForStarted()) {
        m_problem = QStringLiteral("socat: ") + m_socat.errorString();
        return false;
    }
    QByteArray output;
    while (!output.contains("listening on")) {
        if (m_socat.state() == QProcess::NotRunning || !said.wait(StartLimitMs)) {
            m_problem = QStringLiteral("socat does not listen: ") + QString::fromLocal8Bit(output);
            return false;
        }
        output += m_socat.readAllStandardError();
    }
    // socat goes on telling of every connection; what it says is dropped
    // whenever events run, so it never waits for a full pipe.
    QObject::connect(&m_socat, &QProcess::readyReadStandardError, &m_socat, [this] { m_socat.readAllStandardError(); });
    return true;
}

QString TlsFront::url(const QString &path) const
{
    return QStringLiteral("https://127.0.0.1:%1%2").arg(m_port).arg(path);
}

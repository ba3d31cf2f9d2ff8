#include "TestCertificates.h"

#include <QDir>
#include <QFile>
#include <QProcess>

namespace {

// openssl's own limit for one command here; key generation and signing take
// a fraction of a second.
constexpr int OpensslLimitMs = 60000;

const char AuthorityConfig[] = R"([ ca ]
default_ca = test
[ test ]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
[ any ]
commonName = supplied
[ server ]
basicConstraints = critical,CA:FALSE
subjectAltName = IP:127.0.0.1,DNS:localhost
[ wrongname ]
basicConstraints = critical,CA:FALSE
subjectAltName = DNS:wrong.zorvane.invalid
)";

const QStringList EcKey = {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                           QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};

const QString LongAgo = QStringLiteral("20200101000000Z");
const QString ShortlyAfter = QStringLiteral("20200201000000Z");
const QString FarAhead = QStringLiteral("20991231000000Z");

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

bool TestCertificates::create()
{
    if (!m_folder.isValid()) {
        m_problem = QStringLiteral("no temporary folder");
        return false;
    }
    if (!writeFile(path(QStringLiteral("ca.cnf")), AuthorityConfig) || !writeFile(path(QStringLiteral("index.txt")), "")
        || !writeFile(path(QStringLiteral("serial")), "01\n")) {
        m_problem = QStringLiteral("cannot write the authority's files");
        return false;
    }
    return makeAuthority(QStringLiteral("authority"), QStringLiteral("/CN=Zorvane Test Authority"))
        && makeAuthority(QStringLiteral("stranger"), QStringLiteral("/CN=Unknown Test Authority"))
        && openssl(QStringList{QStringLiteral("req"), QStringLiteral("-new")} + EcKey
                   + QStringList{QStringLiteral("-keyout"), keyFile(), QStringLiteral("-out"),
                                 path(QStringLiteral("server.csr")), QStringLiteral("-subj"),
                                 QStringLiteral("/CN=127.0.0.1")})
        // A service loads only a key that its owner alone can read.
        && QFile::setPermissions(keyFile(), QFile::ReadOwner | QFile::WriteOwner)
        && signServer(QStringLiteral("authority"), certificateFile(Server::Valid), QStringLiteral("server"), LongAgo,
                      FarAhead)
        && signServer(QStringLiteral("authority"), certificateFile(Server::Expired), QStringLiteral("server"), LongAgo,
                      ShortlyAfter)
        && signServer(QStringLiteral("authority"), certificateFile(Server::WrongName), QStringLiteral("wrongname"),
                      LongAgo, FarAhead)
        && signServer(QStringLiteral("stranger"), certificateFile(Server::UnknownIssuer), QStringLiteral("server"),
                      LongAgo, FarAhead);
}

QString TestCertificates::authorityFile() const
{
    return path(QStringLiteral("authority.pem"));
}

QString TestCertificates::certificateFile(Server server) const
{
    switch (server) {
    case Server::Valid:
        return path(QStringLiteral("valid.pem"));
    case Server::Expired:
        return path(QStringLiteral("expired.pem"));
    case Server::WrongName:
        return path(QStringLiteral("wrongname.pem"));
    case Server::UnknownIssuer:
        break;
    }
    return path(QStringLiteral("unknown-issuer.pem"));
}

QString TestCertificates::keyFile() const
{
    return path(QStringLiteral("server.key"));
}

QString TestCertificates::path(const QString &name) const
{
    return QDir(m_folder.path()).filePath(name);
}

bool TestCertificates::makeAuthority(const QString &name, const QString &subject)
{
    return openssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + EcKey
                   + QStringList{QStringLiteral("-keyout"), path(name + QStringLiteral(".key")), QStringLiteral("-out"),
                                 path(name + QStringLiteral(".pem")), QStringLiteral("-days"), QStringLiteral("3650"),
                                 QStringLiteral("-subj"), subject, QStringLiteral("-addext"),
                                 QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-addext"),
                                 QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")});
}

bool TestCertificates::signServer(const QString &authority, const QString &out, const QString &extensions,
                                  const QString &startDate, const QString &endDate)
{
    return openssl({QStringLiteral("ca"), QStringLiteral("-batch"), QStringLiteral("-notext"),
                    QStringLiteral("-config"), path(QStringLiteral("ca.cnf")), QStringLiteral("-cert"),
                    path(authority + QStringLiteral(".pem")), QStringLiteral("-keyfile"),
                    path(authority + QStringLiteral(".key")), QStringLiteral("-in"), path(QStringLiteral("server.csr")),
                    QStringLiteral("-out"), out, QStringLiteral("-extensions"), extensions,
                    QStringLiteral("-startdate"), startDate, QStringLiteral("-enddate"), endDate});
}

bool TestCertificates::openssl(const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(m_folder.path());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(OpensslLimitMs) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        m_problem = QStringLiteral("openssl %1: %2 %3")
                        .arg(arguments.join(QLatin1Char(' ')), process.errorString(),
                             QString::fromLocal8Bit(process.readAll()));
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
        return false;
    }
    return true;
}

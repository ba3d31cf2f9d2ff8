#pragma once

#include <QString>
#include <QTemporaryDir>

// Certificates for tests of secure channels, made with the openssl program
// when the test runs, in a temporary folder of their own: a test authority,
// and server certificates for 127.0.0.1 and localhost signed by it (valid,
// expired) or not matching the name, and one signed by an authority no one
// trusts. Nothing is kept between runs and nothing of the system's is used.
class TestCertificates
{
public:
    enum class Server {
        Valid,        // for 127.0.0.1 and localhost, by the test authority
        Expired,      // the same names, valid only in 2020
        WrongName,    // for another host name, by the test authority
        UnknownIssuer // for 127.0.0.1, by an authority no one trusts
    };

    // Makes every file; false (see problem()) when openssl failed.
    bool create();
    QString problem() const { return m_problem; }

    // The test authority's certificate (PEM): what CaCertificates names.
    QString authorityFile() const;
    QString certificateFile(Server server) const;
    // The one key of every server certificate, readable by its owner alone.
    QString keyFile() const;
    // A file in the folder; whatever the test wants to put there.
    QString path(const QString &name) const;

private:
    bool openssl(const QStringList &arguments);
    bool makeAuthority(const QString &name, const QString &subject);
    bool signServer(const QString &authority, const QString &out, const QString &extensions, const QString &startDate,
                    const QString &endDate);

    QTemporaryDir m_folder;
    QString m_problem;
};

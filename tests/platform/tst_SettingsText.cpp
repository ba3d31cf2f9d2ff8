#include "SettingsText.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString writeStore(const QTemporaryDir &folder, const QByteArray &text)
{
    static int count = 0;
    const QString path = folder.filePath(QStringLiteral("store%1.ini").arg(++count));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(text);
    return path;
}

} // namespace

class tst_SettingsText : public QObject
{
    Q_OBJECT

private slots:
    void values_written_by_hand_read_as_written_data();
    void values_written_by_hand_read_as_written();
    void missing_keys_are_nothing();
    void rejoined_values_survive_a_write();

private:
    QTemporaryDir m_folder;
};

void tst_SettingsText::values_written_by_hand_read_as_written_data()
{
    QTest::addColumn<QByteArray>("store");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");
    QTest::newRow("comma in a query") << QByteArray("[Preferences]\nServiceUrl=http://h/x?a=1,2\n")
                                      << "Preferences/ServiceUrl"
                                      << "http://h/x?a=1,2";
    QTest::newRow("blanks around commas")
        << QByteArray("[Preferences]\nServiceUrl = http://h/x?a=1, 2 ,3 \n") << "Preferences/ServiceUrl"
        << "http://h/x?a=1, 2 ,3";
    QTest::newRow("quotes in a split value")
        << QByteArray("[Preferences]\nServiceUrl=http://h/x?a=1,\"2\"\n") << "Preferences/ServiceUrl"
        << "http://h/x?a=1,\"2\"";
    QTest::newRow("quoted whole") << QByteArray("[Preferences]\nServiceUrl=\"http://h/x?a=1,2\"\n")
                                  << "Preferences/ServiceUrl"
                                  << "http://h/x?a=1,2";
    QTest::newRow("CR LF line ends") << QByteArray("[Preferences]\r\nMailDomain=a,b\r\nPop3Port=1110\r\n")
                                     << "Preferences/MailDomain"
                                     << "a,b";
    QTest::newRow("same key in another section first")
        << QByteArray("[Other]\nServiceUrl=x,y\n[Preferences]\nServiceUrl=http://h/?q=a,b\n")
        << "Preferences/ServiceUrl"
        << "http://h/?q=a,b";
    QTest::newRow("escaped key") << QByteArray("[AccountInfo]\nann%40example.org=1,2\n")
                                 << "AccountInfo/ann@example.org"
                                 << "1,2";
    QTest::newRow("no comma") << QByteArray("[Preferences]\nPop3Port=1110\n") << "Preferences/Pop3Port"
                              << "1110";
    QTest::newRow("empty") << QByteArray("[Preferences]\nSmtpPort=\n") << "Preferences/SmtpPort"
                           << "";
}

void tst_SettingsText::values_written_by_hand_read_as_written()
{
    QFETCH(QByteArray, store);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    const QSettings settings(writeStore(m_folder, store), QSettings::IniFormat);
    QCOMPARE(SettingsText::Read(settings, key), std::optional<QString>(expected));
}

void tst_SettingsText::missing_keys_are_nothing()
{
    const QSettings settings(writeStore(m_folder, "[Preferences]\nServiceUrl=a,b\n"), QSettings::IniFormat);
    QCOMPARE(SettingsText::Read(settings, QStringLiteral("Preferences/AltServiceUrl")), std::nullopt);
    QCOMPARE(SettingsText::Read(settings, QStringLiteral("Other/ServiceUrl")), std::nullopt);
    const QSettings none(m_folder.filePath(QStringLiteral("missing.ini")), QSettings::IniFormat);
    QCOMPARE(SettingsText::Read(none, QStringLiteral("Preferences/ServiceUrl")), std::nullopt);
}

// Writing the store rewrites every value; a split one would come back as
// "a, b" unless it is made whole first.
void tst_SettingsText::rejoined_values_survive_a_write()
{
    const QString path = writeStore(m_folder,
                                    "[Preferences]\nServiceUrl=http://h/x?a=1,2\n"
                                    "AltServiceUrl=http://h/alt?b=3,\"4\"\nPop3Port=1110\n");
    {
        QSettings settings(path, QSettings::IniFormat);
        SettingsText::RejoinSplitValues(settings);
        settings.setValue(QStringLiteral("Preferences/SmtpPort"), QStringLiteral("1025"));
        settings.sync();
        QCOMPARE(settings.status(), QSettings::NoError);
    }
    const QSettings again(path, QSettings::IniFormat);
    QCOMPARE(again.value(QStringLiteral("Preferences/ServiceUrl")), QVariant(QStringLiteral("http://h/x?a=1,2")));
    QCOMPARE(SettingsText::Read(again, QStringLiteral("Preferences/AltServiceUrl")),
             std::optional<QString>(QStringLiteral("http://h/alt?b=3,\"4\"")));
    QCOMPARE(SettingsText::Read(again, QStringLiteral("Preferences/Pop3Port")),
             std::optional<QString>(QStringLiteral("1110")));
    QCOMPARE(SettingsText::Read(again, QStringLiteral("Preferences/SmtpPort")),
             std::optional<QString>(QStringLiteral("1025")));
}

QTEST_GUILESS_MAIN(tst_SettingsText)
#include "tst_SettingsText.moc"

// The window as it loads: its controls and places, the request texts it
// builds from their scrambled form, the help pages it ships, and the helpers
// the report is written with.

#include "DiagnosticsTestEnvironment.h"
#include "Utilities.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSet>

#include <QTest>
#include <tuple>

class DiagnosticsFormTest : public QObject
{
    Q_OBJECT

public:
    static void initMain() { TestEnvironment(); }

private slots:
    void scramblingAndErrorNumbers();
    void windowMatchesItsLayoutTable();
    void requestTextsReachTheAgentsEntryPoint();
    void serviceUrlSettingReplacesTheStoredAddress();
    void eachFailureHasItsOwnHelpPage();

private:
    DiagnosticsTestEnvironment &m_environment = TestEnvironment();
};

void DiagnosticsFormTest::scramblingAndErrorNumbers()
{
    const QByteArray key = "k3y";
    // 'a' ^ 'k', 'b' ^ '3', 'c' ^ 'y', then the key starts again at 'k'.
    QCOMPARE(Descramble(QByteArray("\x0a\x51\x1a\x0f", 4), key), QByteArray("abcd"));
    // 8-bit bytes, and a byte equal to its key byte (giving NUL), come back.
    const QByteArray plain{"\xff\x00y\x80 tail", 9};
    QCOMPARE(Descramble(Descramble(plain, key), key), plain);
    QCOMPARE(Descramble(plain, QByteArray()), plain);

    QCOMPARE(HexErrorNumber(12029), QStringLiteral("2EFD"));
    QCOMPARE(HexErrorNumber(13), QStringLiteral("D"));
    QCOMPARE(HexErrorNumber(qint32(0x8000000A)), QStringLiteral("8000000A"));
    QCOMPARE(HexErrorNumber(-1), QStringLiteral("FFFFFFFF"));
}

void DiagnosticsFormTest::windowMatchesItsLayoutTable()
{
    Diagnostics form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const auto twips = [&form](int left, int top, int width, int height) {
        const int x = form.logicalDpiX();
        const int y = form.logicalDpiY();
        return QRect(Diagnostics::TwipsToPixels(left, x), Diagnostics::TwipsToPixels(top, y),
                     Diagnostics::TwipsToPixels(width, x), Diagnostics::TwipsToPixels(height, y));
    };
    QCOMPARE(Diagnostics::TwipsToPixels(5550, 144), 555);

    QCOMPARE(form.windowTitle(), QStringLiteral("Zorvane Diagnostics"));
    QCOMPARE(form.size(), twips(0, 0, 5550, 5355).size());
    const QList<std::tuple<QLabel *, QString, QPoint>> labels{
        {form.Label1(), QStringLiteral("Username"), twips(120, 120, 0, 0).topLeft()},
        {form.Label2(), QStringLiteral("Password"), twips(120, 600, 0, 0).topLeft()},
        {form.Label3(), QStringLiteral("Server Response"), twips(120, 1080, 0, 0).topLeft()},
    };
    for (const auto &[label, text, place] : labels) {
        QCOMPARE(label->text(), text);
        QCOMPARE(label->pos(), place);
    }
    QCOMPARE(form.Text1Box()->geometry(), twips(1080, 120, 2295, 285));
    QCOMPARE(form.Command1()->geometry(), twips(3600, 120, 1215, 375));
    QCOMPARE(form.Command1()->text(), QStringLiteral("Connect"));
    QCOMPARE(form.Text2Box()->geometry(), twips(1080, 600, 2295, 285));
    QCOMPARE(form.Text2Box()->echoMode(), QLineEdit::Password);
    QCOMPARE(form.Text3Box()->geometry(), twips(120, 1320, 5295, 2535));
    QCOMPARE(form.Text4Box()->geometry(), twips(120, 3900, 5295, 1395));
    QCOMPARE(form.Text3Box()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QVERIFY(form.Text4Box()->font().bold() && !form.Text3Box()->font().bold());
    // The service's test account, so a first click shows a working service.
    QCOMPARE(form.Text1(), QStringLiteral("demo"));
    QCOMPARE(form.Text2(), QStringLiteral("demo"));

    // Drawn at one size, with the program's icon; no maximise button.
    const QSize drawn = form.size();
    QCOMPARE(form.minimumSize(), drawn);
    QCOMPARE(form.maximumSize(), drawn);
    form.resize(drawn + QSize(80, 80));
    QCOMPARE(form.size(), drawn);
    form.showMaximized();
    QTRY_COMPARE(form.windowState(), Qt::WindowNoState);
    form.showFullScreen();
    QTRY_COMPARE(form.windowState(), Qt::WindowNoState);
    QCOMPARE(form.size(), drawn);
    QVERIFY(!form.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(form.windowFlags().testFlag(Qt::WindowCloseButtonHint));
    const QIcon icon = form.windowIcon();
    QVERIFY(icon.availableSizes().contains(QSize(16, 16)));
    QVERIFY(icon.availableSizes().contains(QSize(32, 32)));
    // Painted, not blank: the corner is clear, the middle is not.
    const QImage picture = icon.pixmap(QSize(32, 32)).toImage();
    QCOMPARE(qAlpha(picture.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(picture.pixel(16, 16)), 255);
}

// The stored address is the agent's own entry point, padded to its stored
// length with a fragment that never leaves the program.
void DiagnosticsFormTest::requestTextsReachTheAgentsEntryPoint()
{
    m_environment.UseFreshConfig();
    Diagnostics form;
    QCOMPARE(form.RequestMethod(), QByteArray("PROPFIND"));
    QCOMPARE(form.RequestUrl().size(), 49);

    const QDir storedTexts(qEnvironmentVariable("ZORVANE_SOURCE_DIR") + QStringLiteral("/agent/shell/storedtexts"));
    const QStringList entry = storedTexts.entryList({QStringLiteral("1001-*")}, QDir::Files);
    QCOMPARE(entry.size(), 1);
    QFile serviceUrl(storedTexts.filePath(entry.first()));
    QVERIFY(serviceUrl.open(QIODevice::ReadOnly));
    QByteArray agentEntryPoint = serviceUrl.readAll();
    if (agentEntryPoint.endsWith('\n'))
        agentEntryPoint.chop(1);
    const QUrl requestUrl(form.RequestUrl(), QUrl::StrictMode);
    QVERIFY(requestUrl.isValid());
    QCOMPARE(requestUrl.adjusted(QUrl::RemoveFragment).toString(), QString::fromLatin1(agentEntryPoint));

    QFile queryVerb(storedTexts.filePath(storedTexts.entryList({QStringLiteral("1032-*")}, QDir::Files).value(0)));
    QVERIFY(queryVerb.open(QIODevice::ReadOnly));
    QCOMPARE(form.RequestMethod(), queryVerb.readAll().trimmed());
}

void DiagnosticsFormTest::serviceUrlSettingReplacesTheStoredAddress()
{
    const QString address = QStringLiteral("https://mail.example.org:8443/dav/");
    m_environment.WritePreferences({{QStringLiteral("ServiceUrl"), address}});
    Diagnostics withSetting;
    QCOMPARE(withSetting.RequestUrl(), address);

    // A comma is no list separator in an address, whatever stands around it.
    for (const QString &withComma : {QStringLiteral("http://127.0.0.1:8910/dav/a,b/"),
                                     QStringLiteral("http://h/x?a=1,2"), QStringLiteral("http://h/x?a=1, \"2\"")}) {
        m_environment.WritePreferences({{QStringLiteral("ServiceUrl"), withComma}});
        QCOMPARE(Diagnostics().RequestUrl(), withComma);
    }

    m_environment.WritePreferences({{QStringLiteral("Pop3Port"), QStringLiteral("1110")}});
    QVERIFY(Diagnostics().RequestUrl().startsWith(QStringLiteral("http://127.0.0.1:8910/dav/")));
}

void DiagnosticsFormTest::eachFailureHasItsOwnHelpPage()
{
    QSet<QString> files;
    for (HelpPages::Page page :
         {HelpPages::General, HelpPages::Socket, HelpPages::HttpComponent, HelpPages::Connection}) {
        const QUrl url = HelpPages::Url(page);
        QVERIFY2(url.isLocalFile(), qPrintable(HelpPages::FileName(page)));
        QFile file(url.toLocalFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray html = file.readAll();
        QVERIFY(html.contains("<h1>"));
        QVERIFY(html.contains("What to try"));
        files.insert(QFileInfo(file).canonicalFilePath());
    }
    QCOMPARE(files.size(), 4);
}

QTEST_MAIN(DiagnosticsFormTest)
#include "tst_DiagnosticsForm.moc"

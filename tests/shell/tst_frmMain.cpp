#include "AutoStartEntry.h"
#include "SettingsStore.h"
#include "TrayArtwork.h"
#include "TrayIcon.h"
#include "Winsock.h"
#include "WrappingCheckBox.h"
#include "frmMain.h"
#include "modMain.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

struct Control
{
    const char *name;
    QString caption;
    QString toolTip;
};

const QString PortTip =
    QStringLiteral("Zorvane listens at this port. Attention! Match this setting in your email program!");

const QList<Control> Controls{
    {"Frame2", QStringLiteral("Program Settings"), QString()},
    {"chkAutoStart", QStringLiteral("&Auto start"), QStringLiteral("Automatically start the program at logon")},
    {"chkStartTray", QStringLiteral("Start as tray &icon"), QStringLiteral("Hide main program window at startup")},
    {"chkDebug", QStringLiteral("Debug Mode"), QString()},
    {"Frame3", QStringLiteral("TCP/IP Settings"), QString()},
    {"Label3", QStringLiteral("&POP3 Port"), QString()},
    {"txtPop", QString(), PortTip},
    {"Label1", QStringLiteral("SM&TP Port"), QString()},
    {"txtSmtp", QString(), PortTip},
    {"chkLocalhost", QStringLiteral("&Listen only to host 127.0.0.1"),
     QStringLiteral("Adds extra security, but may not work")},
    {"Frame1", QStringLiteral("Receive Settings"), QString()},
    {"chkLimitList", QStringLiteral("&Unread Hotmail only"),
     QStringLiteral("Only unread Hotmail messages will be considered for download")},
    {"chkMarkRead", QStringLiteral("&Mark Hotmail read"),
     QStringLiteral("After download, messages will be marked as read on Hotmail.")},
    {"chkDelete", QStringLiteral("&Delete from Hotmail"),
     QStringLiteral("Hotmail messages will be deleted after download.")},
    {"chkPopCollect", QStringLiteral("Tri&gger Hotmail POP3 collection"),
     QStringLiteral("Triggers a POP3 collection on Hotmail prior to download.")},
    {"Frame4", QStringLiteral("Send Settings"), QString()},
    {"chkSaveSent", QStringLiteral("Sa&ve sent messages on Hotmail"),
     QStringLiteral("A copy of sent messages will be saved in Hotmail's Sent Items folder")},
    {"txtLog", QString(), QStringLiteral("Watch Zorvane at work")},
    {"cmdOk", QStringLiteral("&OK"), QStringLiteral("Shrink window to system tray")},
    {"cmdCancel", QStringLiteral("&Quit"), QStringLiteral("Exit program")},
    {"cmdApply", QStringLiteral("&Save Settings"), QStringLiteral("Save preferences")},
    {"lblHelp", QStringLiteral("Help"), QStringLiteral("Visit the Zorvane support site")},
};

QString captionOf(QWidget *widget)
{
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        return button->text();
    if (auto *label = qobject_cast<QLabel *>(widget))
        return label->text();
    if (auto *frame = qobject_cast<QGroupBox *>(widget))
        return frame->title();
    return QString();
}

// The window with its own store, autostart entry and program state.
struct Rig
{
    explicit Rig(const QString &folder, const QByteArray &storeText = QByteArray())
        : store(folder + QStringLiteral("/Zorvane/Zorvane.ini"))
        , autoStart(folder + QStringLiteral("/autostart/Zorvane.desktop"))
    {
        if (!storeText.isEmpty()) {
            QDir().mkpath(folder + QStringLiteral("/Zorvane"));
            QFile file(store.path());
            if (file.open(QIODevice::WriteOnly))
                file.write(storeText);
        }
        window = std::make_unique<frmMain>(state, store, autoStart);
        window->SetSockets(&wskPop, &wskSmtp);
        state.SetOptions(window.get());
    }
    template<typename T> T *find(const char *name) const { return window->findChild<T *>(QLatin1String(name)); }

    modMain state;
    SettingsStore store;
    AutoStartEntry autoStart;
    Winsock wskPop;
    Winsock wskSmtp;
    std::unique_ptr<frmMain> window;
};

} // namespace

class tst_frmMain : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void captions_tool_tips_and_tabs();
    void keyboard_order_and_access_keys();
    void layout_follows_the_design_and_clips_nothing();
    void load_puts_the_store_into_the_controls_data();
    void load_puts_the_store_into_the_controls();
    void save_settings_writes_the_store_and_the_autostart_entry();
    void a_save_that_fails_says_so();
    void ok_saves_and_hides();
    void quit_saves_then_unloads();
    void close_box_unloads_without_saving();
    void tray_exit_unloads_a_window_that_was_never_shown();
    void options_are_the_check_boxes_at_the_moment_of_use();
    void same_user_only_is_the_stored_value_and_saving_keeps_it();
    void on_screen_log_shows_every_line();
    void minimise_hides_only_when_a_tray_icon_can_restore();
    void window_opens_centred_however_it_first_shows();
    void window_keeps_its_drawn_size();
    void escape_presses_quit();
    void tray_icon_activations_menu_and_tips();
    void three_icons_in_two_sizes();
    void help_opens_a_page_shipped_with_the_program();

private:
    std::unique_ptr<QTemporaryDir> m_folder;
};

void tst_frmMain::init()
{
    m_folder = std::make_unique<QTemporaryDir>();
    QVERIFY(m_folder->isValid());
}

void tst_frmMain::captions_tool_tips_and_tabs()
{
    Rig rig(m_folder->path());
    QCOMPARE(rig.window->windowTitle(), QStringLiteral("Zorvane - eMail Transfer Agent"));
    auto *tabs = rig.find<QTabWidget>("SSTab1");
    QVERIFY(tabs);
    QCOMPARE(tabs->count(), 3);
    QCOMPARE(tabs->tabText(0), QStringLiteral("Zorvane"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Hotmail"));
    QCOMPARE(tabs->tabText(2), QStringLiteral("Log"));

    for (const Control &control : Controls) {
        auto *widget = rig.find<QWidget>(control.name);
        QVERIFY2(widget, control.name);
        QCOMPARE(captionOf(widget), control.caption);
        QCOMPARE(widget->toolTip(), control.toolTip);
    }
    QVERIFY(!rig.find<QCheckBox>("chkDebug")->isEnabled());
    QVERIFY(rig.find<QPlainTextEdit>("txtLog")->isReadOnly());
    QCOMPARE(rig.find<QPlainTextEdit>("txtLog")->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(rig.find<QLineEdit>("txtPop")->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
    QCOMPARE(rig.find<QLabel>("Label3")->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);

    auto *help = rig.find<QLabel>("lblHelp");
    QVERIFY(help->font().bold());
    QVERIFY(help->font().underline());
    QCOMPARE(help->font().pointSizeF(), 9.75);
    QCOMPARE(help->palette().color(QPalette::WindowText), QColor(0, 0, 192));
    QCOMPARE(help->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(help->alignment(), Qt::AlignCenter);
    QCOMPARE(rig.window->font().pointSizeF(), 8.25);
}

void tst_frmMain::keyboard_order_and_access_keys()
{
    Rig rig(m_folder->path());
    const QStringList expected{
        QStringLiteral("SSTab1"),       QStringLiteral("chkAutoStart"), QStringLiteral("chkStartTray"),
        QStringLiteral("chkDebug"),     QStringLiteral("txtPop"),       QStringLiteral("txtSmtp"),
        QStringLiteral("chkLocalhost"), QStringLiteral("chkLimitList"), QStringLiteral("chkMarkRead"),
        QStringLiteral("chkDelete"),    QStringLiteral("chkSaveSent"),  QStringLiteral("cmdOk"),
        QStringLiteral("cmdCancel"),    QStringLiteral("cmdApply"),     QStringLiteral("chkPopCollect")};
    QStringList order;
    QWidget *start = rig.find<QWidget>("SSTab1");
    QWidget *widget = start;
    do {
        if (expected.contains(widget->objectName()) && !order.contains(widget->objectName()))
            order << widget->objectName();
        widget = widget->nextInFocusChain();
    } while (widget != start);
    QCOMPARE(order, expected);

    QCOMPARE(rig.find<QLabel>("Label3")->buddy(), rig.find<QWidget>("txtPop"));
    QCOMPARE(rig.find<QLabel>("Label1")->buddy(), rig.find<QWidget>("txtSmtp"));
    // Every access key is used once.
    QString keys;
    for (const Control &control : Controls) {
        const qsizetype amp = control.caption.indexOf(QLatin1Char('&'));
        if (amp >= 0)
            keys += control.caption.at(amp + 1).toLower();
    }
    for (const QChar key : keys)
        QCOMPARE(keys.count(key), 1);
}

void tst_frmMain::layout_follows_the_design_and_clips_nothing()
{
    Rig rig(m_folder->path());
    rig.window->Form_Load();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    frmMain &window = *rig.window;
    const double sx = window.logicalDpiX() / 1440.0 * window.FitFactorX();
    const double sy = window.logicalDpiY() / 1440.0 * window.FitFactorY();
    // Growing the design to fit the fonts is allowed, but only modestly.
    QVERIFY2(window.FitFactorX() >= 1.0 && window.FitFactorX() < 1.5, qPrintable(QString::number(window.FitFactorX())));
    QVERIFY2(window.FitFactorY() >= 1.0 && window.FitFactorY() < 1.5, qPrintable(QString::number(window.FitFactorY())));
    QCOMPARE(window.width(), qRound(4635 * sx));
    QVERIFY(window.height() >= qRound(3000 * sy));

    auto *tabs = rig.find<QTabWidget>("SSTab1");
    for (int page = 0; page < tabs->count(); ++page) {
        tabs->setCurrentIndex(page);
        for (const Control &control : Controls) {
            auto *widget = rig.find<QWidget>(control.name);
            if (!widget->isVisible())
                continue;
            const QRect design = window.DesignRect(QLatin1String(control.name));
            QVERIFY2(design.isValid(), control.name);
            // The design's size, scaled by the screen's DPI (one pixel of
            // rounding either way).
            QVERIFY2(qAbs(widget->width() - design.width() * sx) <= 1.0, control.name);
            QVERIFY2(qAbs(widget->height() - design.height() * sy) <= 1.0, control.name);
            // Inside whatever holds it.
            QWidget *parent = widget->parentWidget();
            QVERIFY2(parent->rect().contains(widget->geometry()), control.name);
            // Nothing cut: the caption's needed size fits.
            QSize needed;
            if (auto *wrapping = qobject_cast<WrappingCheckBox *>(widget))
                needed = wrapping->neededSize(widget->width());
            else if (qobject_cast<QCheckBox *>(widget) || qobject_cast<QLabel *>(widget))
                needed = widget->sizeHint();
            else if (auto *button = qobject_cast<QPushButton *>(widget))
                needed = QSize(button->fontMetrics().horizontalAdvance(QStringLiteral("Save Settings")) / 2,
                               button->fontMetrics().height());
            if (needed.isValid()) {
                QVERIFY2(widget->width() >= needed.width(), control.name);
                QVERIFY2(widget->height() >= needed.height(), control.name);
            }
        }
        // What controls that share a parent show does not overlap (the
        // design lets two check boxes' areas overlap, not their captions).
        const auto shown = [](QWidget *widget) {
            if (qobject_cast<QCheckBox *>(widget) && !qobject_cast<WrappingCheckBox *>(widget))
                return QRect(widget->pos(), widget->sizeHint());
            return widget->geometry();
        };
        for (const Control &a : Controls) {
            for (const Control &b : Controls) {
                auto *wa = rig.find<QWidget>(a.name);
                auto *wb = rig.find<QWidget>(b.name);
                if (wa == wb || !wa->isVisible() || !wb->isVisible() || wa->parentWidget() != wb->parentWidget())
                    continue;
                QVERIFY2(!shown(wa).intersects(shown(wb)), qPrintable(QStringLiteral("%1 / %2").arg(a.name, b.name)));
            }
        }
    }
    // The tab contents sit below the tab strip, the buttons below the tabs.
    tabs->setCurrentIndex(0);
    const QPoint frameTop = rig.find<QWidget>("Frame2")->mapTo(&window, QPoint(0, 0));
    QVERIFY(frameTop.y() > tabs->tabBar()->geometry().bottom());
    QVERIFY(rig.find<QWidget>("cmdOk")->geometry().top() > tabs->geometry().bottom());
    QVERIFY(rig.find<QWidget>("cmdOk")->geometry().bottom() < window.height());
}

void tst_frmMain::load_puts_the_store_into_the_controls_data()
{
    QTest::addColumn<QByteArray>("store");
    QTest::addColumn<QString>("checked");
    QTest::addColumn<QString>("ports");
    QTest::addColumn<bool>("visible");
    QTest::newRow("fresh store") << QByteArray() << "chkAutoStart chkLimitList chkMarkRead chkSaveSent chkLocalhost"
                                 << "110 25" << true;
    QTest::newRow("stored values") << QByteArray(
        "[Preferences]\nAutoStart=0\nListUnreadOnly=0\nDeleteOnServer=1\nCollectPOP3=1\n"
        "DebugMode=1\nPop3Port=8110\nSmtpPort=8025\nLocalhostOnly=0\nMarkReadOnServer=0\nSaveSentItems=0\n")
                                   << "chkDelete chkPopCollect chkDebug"
                                   << "8110 8025" << true;
    QTest::newRow("start in tray") << QByteArray("[Preferences]\nStartInTray=1\n")
                                   << "chkAutoStart chkStartTray chkLimitList chkMarkRead chkSaveSent chkLocalhost"
                                   << "110 25" << false;
}

void tst_frmMain::load_puts_the_store_into_the_controls()
{
    QFETCH(QByteArray, store);
    QFETCH(QString, checked);
    QFETCH(QString, ports);
    QFETCH(bool, visible);
    Rig rig(m_folder->path(), store);
    rig.window->Form_Load();
    QStringList shown;
    for (QCheckBox *box : rig.window->findChildren<QCheckBox *>()) {
        if (box->isChecked())
            shown << box->objectName();
    }
    QStringList expected = checked.split(QLatin1Char(' '));
    expected.sort();
    shown.sort();
    QCOMPARE(shown, expected);
    QCOMPARE(rig.find<QLineEdit>("txtPop")->text() + QLatin1Char(' ') + rig.find<QLineEdit>("txtSmtp")->text(), ports);
    QCOMPARE(rig.window->isVisible(), visible);
    QCOMPARE(rig.find<QTabWidget>("SSTab1")->currentIndex(), 0);
    QVERIFY(rig.find<QCheckBox>("chkStartTray")->isEnabled());
    // Loading writes nothing.
    QCOMPARE(QFile::exists(rig.store.path()), !store.isEmpty());
}

void tst_frmMain::save_settings_writes_the_store_and_the_autostart_entry()
{
    Rig rig(m_folder->path(), "[Preferences]\nDebugMode=1\n");
    rig.window->Form_Load();
    rig.find<QLineEdit>("txtPop")->setText(QStringLiteral("x110"));
    rig.find<QCheckBox>("chkDelete")->click();
    rig.find<QCheckBox>("chkDebug")->setChecked(false); // only a display; never saved
    rig.find<QPushButton>("cmdApply")->click();

    QSettings written(rig.store.path(), QSettings::IniFormat);
    QCOMPARE(written.value(QStringLiteral("Preferences/Pop3Port")).toString(), QStringLiteral("x110"));
    QCOMPARE(written.value(QStringLiteral("Preferences/DeleteOnServer")).toString(), QStringLiteral("1"));
    QCOMPARE(written.value(QStringLiteral("Preferences/DebugMode")).toString(), QStringLiteral("1"));
    QCOMPARE(rig.autoStart.read(), AutoStartEntry::execValue(QCoreApplication::applicationFilePath()));

    // Unchecked and saved: the entry goes; the listeners are not touched.
    rig.find<QCheckBox>("chkAutoStart")->click();
    rig.find<QPushButton>("cmdApply")->click();
    QVERIFY(!QFile::exists(rig.autoStart.path()));
    QCOMPARE(
        QSettings(rig.store.path(), QSettings::IniFormat).value(QStringLiteral("Preferences/AutoStart")).toString(),
        QStringLiteral("0"));
}

// The store cannot be written (its file is a folder here, which stops even
// a privileged user): the window says so instead of carrying on as if saved.
void tst_frmMain::a_save_that_fails_says_so()
{
    Rig rig(m_folder->path(), "[Preferences]\nDebugMode=1\n");
    rig.window->Form_Load();
    QStringList boxes;
    rig.state.messageBoxWithIcon = [&](modMain::BoxIcon icon, const QString &title, const QString &text) {
        QCOMPARE(icon, modMain::BoxIcon::Exclamation);
        boxes << title + QStringLiteral(": ") + text;
    };
    QVERIFY(QFile::remove(rig.store.path()));
    QVERIFY(QDir().mkpath(rig.store.path()));
    rig.find<QPushButton>("cmdApply")->click();
    QCOMPARE(boxes.size(), 1);
    QVERIFY2(boxes.first().startsWith(QStringLiteral("Zorvane: The settings could not be saved: cannot ")),
             qPrintable(boxes.first()));
    QVERIFY2(boxes.first().contains(rig.store.path()), qPrintable(boxes.first()));

    // Once the store can be written again, saving says nothing.
    QVERIFY(QDir(rig.store.path()).removeRecursively());
    rig.find<QPushButton>("cmdApply")->click();
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(QSettings(rig.store.path(), QSettings::IniFormat).value(QStringLiteral("Preferences/Pop3Port")).toString(),
             rig.find<QLineEdit>("txtPop")->text());
}

void tst_frmMain::ok_saves_and_hides()
{
    Rig rig(m_folder->path());
    rig.window->SetTrayAvailable(true);
    rig.window->Form_Load();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    QSignalSpy unloaded(rig.window.get(), &frmMain::unloaded);
    rig.find<QPushButton>("cmdOk")->click();
    QTRY_VERIFY(!rig.window->isVisible());
    QVERIFY(QFile::exists(rig.store.path()));
    QCOMPARE(unloaded.count(), 0);
}

void tst_frmMain::quit_saves_then_unloads()
{
    Rig rig(m_folder->path());
    rig.window->Form_Load();
    QVERIFY(rig.wskPop.Listen());
    QVERIFY(rig.wskSmtp.Listen());
    QSignalSpy unloaded(rig.window.get(), &frmMain::unloaded);
    QSignalSpy tray(&rig.state.TrayData, &TrayStatus::changed);
    rig.find<QPushButton>("cmdCancel")->click();
    QCOMPARE(unloaded.count(), 1);
    QVERIFY(QFile::exists(rig.store.path()));
    QVERIFY(rig.autoStart.read().size() > 0); // the first Quit writes the autostart entry
    QCOMPARE(rig.wskPop.State(), int(Winsock::sckClosed));
    QCOMPARE(rig.wskSmtp.State(), int(Winsock::sckClosed));
    QCOMPARE(tray.count(), 1);
    QCOMPARE(tray.first().at(1).toString(), QStringLiteral("Zorvane Agent | Terminating"));
    QCOMPARE(rig.state.TrayData.icon(), TrayStatus::Icon::Terminating);
}

void tst_frmMain::close_box_unloads_without_saving()
{
    Rig rig(m_folder->path());
    rig.window->Form_Load();
    QVERIFY(rig.wskPop.Listen());
    rig.find<QCheckBox>("chkDelete")->click();
    QSignalSpy unloaded(rig.window.get(), &frmMain::unloaded);
    QVERIFY(rig.window->close());
    QCOMPARE(unloaded.count(), 1);
    QVERIFY(!QFile::exists(rig.store.path()));
    QVERIFY(!QFile::exists(rig.autoStart.path()));
    QCOMPARE(rig.wskPop.State(), int(Winsock::sckClosed));
    QCOMPARE(rig.state.TrayData.tip(), QStringLiteral("Zorvane Agent | Terminating"));
}

void tst_frmMain::tray_exit_unloads_a_window_that_was_never_shown()
{
    Rig rig(m_folder->path(), "[Preferences]\nStartInTray=1\nAutoStart=0\n");
    rig.window->Form_Load();
    QVERIFY(!rig.window->isVisible());
    TrayIcon tray(rig.state.TrayData);
    tray.add();
    QObject::connect(&tray, &TrayIcon::exitRequested, rig.window.get(), &frmMain::cmdCancel_Click);
    QSignalSpy unloaded(rig.window.get(), &frmMain::unloaded);
    tray.exitAction()->trigger();
    QCOMPARE(unloaded.count(), 1);
    QCOMPARE(tray.toolTip(), QStringLiteral("Zorvane Agent | Terminating"));
    QCOMPARE(
        QSettings(rig.store.path(), QSettings::IniFormat).value(QStringLiteral("Preferences/StartInTray")).toString(),
        QStringLiteral("1"));
}

void tst_frmMain::options_are_the_check_boxes_at_the_moment_of_use()
{
    Rig rig(m_folder->path());
    rig.window->Form_Load();
    const AgentOptions &options = rig.state.Options();
    QVERIFY(!options.DeleteOnServer());
    QVERIFY(options.LocalhostOnly());
    rig.find<QCheckBox>("chkDelete")->click();
    rig.find<QCheckBox>("chkLocalhost")->click();
    rig.find<QCheckBox>("chkLimitList")->click();
    rig.find<QCheckBox>("chkMarkRead")->click();
    rig.find<QCheckBox>("chkSaveSent")->click();
    rig.find<QCheckBox>("chkPopCollect")->click();
    QVERIFY(options.DeleteOnServer());
    QVERIFY(!options.LocalhostOnly());
    QVERIFY(!options.ListUnreadOnly());
    QVERIFY(!options.MarkReadOnServer());
    QVERIFY(!options.SaveSentItems());
    QVERIFY(options.CollectPOP3());
    // Nothing saved by a click.
    QVERIFY(!QFile::exists(rig.store.path()));
}

// No control shows it: the window holds what it read, and its saves leave
// the key as the user wrote it.
void tst_frmMain::same_user_only_is_the_stored_value_and_saving_keeps_it()
{
    {
        Rig fresh(m_folder->path());
        fresh.window->Form_Load();
        QVERIFY(fresh.state.Options().SameUserOnly());
        QVERIFY(fresh.window->ControlValues().SameUserOnly);
    }
    Rig rig(m_folder->path(), "[Preferences]\nSameUserOnly=0\n");
    rig.window->Form_Load();
    QVERIFY(!rig.state.Options().SameUserOnly());
    QVERIFY(!rig.window->ControlValues().SameUserOnly);
    rig.window->cmdApply_Click();
    QCOMPARE(
        QSettings(rig.store.path(), QSettings::IniFormat).value(QStringLiteral("Preferences/SameUserOnly")).toString(),
        QStringLiteral("0"));
}

void tst_frmMain::on_screen_log_shows_every_line()
{
    Rig rig(m_folder->path());
    auto *log = rig.find<QPlainTextEdit>("txtLog");
    rig.state.AddLogLine(QStringLiteral("Zorvane 1.6 (Rev. 1601)"));
    rig.state.Screen.appendRaw(QStringLiteral("\r\n--New POP3 dialog--\r\n"));
    rig.state.AddLogLine(QStringLiteral("Connection request from 127.0.0.1(127.0.0.1) accepted."));
    QCOMPARE(log->toPlainText(),
             QStringLiteral("Zorvane 1.6 (Rev. 1601)\n\n--New POP3 dialog--\n"
                            "Connection request from 127.0.0.1(127.0.0.1) accepted.\n"));
    for (int i = 0; i < 60; ++i)
        rig.state.AddLogLine(QString(98, QLatin1Char('x')));
    QCOMPARE(log->toPlainText(),
             QString(rig.state.Screen.text()).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    QVERIFY(log->toPlainText().size() <= 5100);
}

void tst_frmMain::minimise_hides_only_when_a_tray_icon_can_restore()
{
    Rig rig(m_folder->path());
    rig.window->SetTrayAvailable(true);
    rig.window->Form_Load();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    rig.window->showMinimized();
    QTRY_VERIFY(!rig.window->isVisible());
    rig.window->mPopRestore_Click();
    QVERIFY(rig.window->isVisible());
    QVERIFY(!rig.window->isMinimized());

    Rig noTray(m_folder->path() + QStringLiteral("/other"));
    noTray.window->SetTrayAvailable(false);
    noTray.window->Form_Load();
    QVERIFY(QTest::qWaitForWindowExposed(noTray.window.get()));
    noTray.window->showMinimized();
    QTRY_VERIFY(noTray.window->isMinimized());
    // A hide would have been queued by the state change; a call queued now
    // runs after it.
    bool queuedAfterStateChange = false;
    QTimer::singleShot(0, noTray.window.get(), [&] { queuedAfterStateChange = true; });
    QTRY_VERIFY(queuedAfterStateChange);
    QVERIFY(noTray.window->isVisible());
}

void tst_frmMain::window_opens_centred_however_it_first_shows()
{
    Rig shown(m_folder->path());
    shown.window->SetTrayAvailable(true);
    shown.window->Form_Load();
    QVERIFY(QTest::qWaitForWindowExposed(shown.window.get()));
    // Off the middle by no more than the frame the window manager adds.
    constexpr int FrameAllowance = 8;
    const QPoint centre = shown.window->screen()->availableGeometry().center();
    QVERIFY((shown.window->geometry().center() - centre).manhattanLength() <= FrameAllowance);

    // Started as a tray icon, opened from the tray later.
    Rig inTray(m_folder->path() + QStringLiteral("/tray"), "[Preferences]\nStartInTray=1\n");
    inTray.window->SetTrayAvailable(true);
    inTray.window->Form_Load();
    QVERIFY(!inTray.window->isVisible());
    inTray.window->mPopRestore_Click();
    QVERIFY(QTest::qWaitForWindowExposed(inTray.window.get()));
    QCOMPARE(inTray.window->geometry(), shown.window->geometry());
}

void tst_frmMain::window_keeps_its_drawn_size()
{
    Rig rig(m_folder->path());
    rig.window->Form_Load();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    const QSize drawn = rig.window->size();
    QCOMPARE(rig.window->minimumSize(), drawn);
    QCOMPARE(rig.window->maximumSize(), drawn);
    rig.window->resize(drawn + QSize(100, 100));
    QCOMPARE(rig.window->size(), drawn);
    // A maximised or full-screen state imposed from outside is undone.
    rig.window->showMaximized();
    QTRY_COMPARE(rig.window->windowState(), Qt::WindowNoState);
    rig.window->showFullScreen();
    QTRY_COMPARE(rig.window->windowState(), Qt::WindowNoState);
    QCOMPARE(rig.window->size(), drawn);
    QVERIFY(rig.window->isVisible());
    // No maximise button; minimising (to the tray) and closing stay.
    const Qt::WindowFlags flags = rig.window->windowFlags();
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!rig.window->windowIcon().isNull());
}

void tst_frmMain::escape_presses_quit()
{
    Rig rig(m_folder->path());
    rig.window->Form_Load();
    rig.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
    QSignalSpy unloaded(rig.window.get(), &frmMain::unloaded);
    QTest::keyClick(rig.window.get(), Qt::Key_Escape);
    QCOMPARE(unloaded.count(), 1);
    QVERIFY(QFile::exists(rig.store.path()));
}

void tst_frmMain::tray_icon_activations_menu_and_tips()
{
    TrayStatus trayData;
    TrayIcon tray(trayData);
    tray.add();
    QCOMPARE(tray.toolTip(), QStringLiteral("Zorvane Agent | Idle"));
    QCOMPARE(tray.menu()->title(), QStringLiteral("Popup Menu"));
    QCOMPARE(tray.menu()->actions().size(), 2);
    QCOMPARE(tray.menu()->actions().at(0)->text(), QStringLiteral("Restore"));
    QCOMPARE(tray.menu()->actions().at(1)->text(), QStringLiteral("Exit"));

    QSignalSpy restore(&tray, &TrayIcon::restoreRequested);
    QSignalSpy exit(&tray, &TrayIcon::exitRequested);
    tray.handleActivation(QSystemTrayIcon::Trigger);
    tray.handleActivation(QSystemTrayIcon::DoubleClick);
    tray.handleActivation(QSystemTrayIcon::MiddleClick);
    tray.handleActivation(QSystemTrayIcon::Context);
    tray.handleActivation(QSystemTrayIcon::Unknown);
    QCOMPARE(restore.count(), 2);
    QCOMPARE(exit.count(), 0);
    tray.restoreAction()->trigger();
    tray.exitAction()->trigger();
    QCOMPARE(restore.count(), 3);
    QCOMPARE(exit.count(), 1);

    // A status change is set, then applied.
    trayData.set(TrayStatus::Icon::Busy, TrayStatus::Busy);
    QCOMPARE(tray.toolTip(), QStringLiteral("Zorvane Agent | Idle"));
    trayData.apply();
    QCOMPARE(tray.toolTip(), QStringLiteral("Zorvane Agent | Busy"));
    trayData.setAndApply(TrayStatus::Icon::Busy, TrayStatus::Receiving);
    QCOMPARE(tray.toolTip(), QStringLiteral("Zorvane Agent | Receiving"));

    // Once removed, nothing more is shown.
    tray.remove();
    QVERIFY(!tray.isAdded());
    trayData.setAndApply(TrayStatus::Icon::Program, TrayStatus::Idle);
    QCOMPARE(tray.toolTip(), QStringLiteral("Zorvane Agent | Receiving"));
}

void tst_frmMain::three_icons_in_two_sizes()
{
    QList<QImage> images;
    for (TrayStatus::Icon icon : {TrayStatus::Icon::Program, TrayStatus::Icon::Busy, TrayStatus::Icon::Terminating}) {
        const QIcon painted = TrayArtwork::IconFor(icon);
        const QList<QSize> sizes = painted.availableSizes();
        QVERIFY(sizes.contains(QSize(16, 16)));
        QVERIFY(sizes.contains(QSize(32, 32)));
        images << painted.pixmap(QSize(32, 32)).toImage();
    }
    QVERIFY(images.at(0) != images.at(1));
    QVERIFY(images.at(1) != images.at(2));
    QVERIFY(images.at(0) != images.at(2));
}

void tst_frmMain::help_opens_a_page_shipped_with_the_program()
{
    // The test program lives beside bin/ in the build tree, as the agent does.
    const QUrl page = frmMain::SupportPageUrl();
    QVERIFY(page.isLocalFile());
    QVERIFY2(QFile::exists(page.toLocalFile()), qPrintable(page.toLocalFile()));
    QFile file(page.toLocalFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains("Zorvane"));
}

QTEST_MAIN(tst_frmMain)
#include "tst_frmMain.moc"

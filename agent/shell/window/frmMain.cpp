#include "frmMain.h"

#include "AutoStartEntry.h"
#include "FixedWindowStyle.h"
#include "LinkLabel.h"
#include "SettingsStore.h"
#include "ShutdownSteps.h"
#include "TrayArtwork.h"
#include "Winsock.h"
#include "WrappingCheckBox.h"
#include "modMain.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStyleOptionGroupBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>

namespace {

constexpr double TwipsPerInch = 1440.0;
// The design's client area and its tab control, in twips.
constexpr int ClientWidthTwips = 4635;
constexpr int ClientHeightTwips = 3000;
constexpr int TabHeightTwips = 2535;
// The first row of content on a tab starts here (tab control coordinates).
constexpr int TabContentTopTwips = 420;
// Room between our tab strip and the first frame when the strip is taller
// than the design's, in pixels.
constexpr int TabGapPixels = 4;

const QString PortToolTip =
    QStringLiteral("Zorvane listens at this port. Attention! Match this setting in your email program!");

QString withoutMnemonic(QString text)
{
    return text.replace(QStringLiteral("&&"), QStringLiteral("\x01"))
        .remove(QLatin1Char('&'))
        .replace(QLatin1Char('\x01'), QLatin1Char('&'));
}

int checkState(bool checked)
{
    return checked ? Qt::Checked : Qt::Unchecked;
}

} // namespace

frmMain::frmMain(modMain &state, SettingsStore &store, AutoStartEntry &autoStart, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
    , m_store(store)
    , m_autoStart(autoStart)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Zorvane - eMail Transfer Agent"));
    setWindowIcon(TrayArtwork::IconFor(TrayStatus::Icon::Program));
    setFont(designFont(8.25));
    createControls();
    setToolTipsAndOrder();
    computeFit();
    layoutWindow();
    FixedWindowStyle::Apply(this);
    connect(&m_state.Screen, &OnScreenLog::appended, this, &frmMain::appendToLog);
    // Esc presses "&Quit", the window's cancel button.
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, cmdCancel, &QPushButton::click);
}

frmMain::~frmMain()
{
    m_windowTerminated = true;
}

QFont frmMain::designFont(double pointSize) const
{
    QFont font(QStringLiteral("Verdana"));
    if (QFontInfo(font).family().compare(QLatin1String("Verdana"), Qt::CaseInsensitive) != 0)
        font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSizeF(pointSize);
    return font;
}

void frmMain::createControls()
{
    SSTab1 = new QTabWidget(this);
    SSTab1->setObjectName(QStringLiteral("SSTab1"));
    auto *zorvanePage = new QWidget;
    auto *hotmailPage = new QWidget;
    auto *logPage = new QWidget;
    SSTab1->addTab(zorvanePage, QStringLiteral("Zorvane"));
    SSTab1->addTab(hotmailPage, QStringLiteral("Hotmail"));
    SSTab1->addTab(logPage, QStringLiteral("Log"));
    place(SSTab1, QRect(0, 0, ClientWidthTwips, TabHeightTwips), Area::Window);
    zorvanePage->installEventFilter(this);

    createZorvaneTab(zorvanePage);
    createHotmailTab(hotmailPage);
    createLogTab(logPage);
    createButtons();
}

void frmMain::createZorvaneTab(QWidget *page)
{
    Frame2 = new QGroupBox(QStringLiteral("Program Settings"), page);
    place(Frame2, QRect(120, 420, 2175, 1635), Area::Tab);
    chkAutoStart = new QCheckBox(QStringLiteral("&Auto start"), Frame2);
    place(chkAutoStart, QRect(120, 240, 1935, 255), Area::Frame);
    chkStartTray = new QCheckBox(QStringLiteral("Start as tray &icon"), Frame2);
    place(chkStartTray, QRect(120, 540, 1935, 255), Area::Frame);
    chkDebug = new QCheckBox(QStringLiteral("Debug Mode"), Frame2);
    chkDebug->setEnabled(false); // shows the stored setting; only the store changes it
    place(chkDebug, QRect(120, 840, 1815, 255), Area::Frame);

    Frame3 = new QGroupBox(QStringLiteral("TCP/IP Settings"), page);
    place(Frame3, QRect(2340, 420, 2175, 1635), Area::Tab);
    Label3 = new QLabel(QStringLiteral("&POP3 Port"), Frame3);
    Label3->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    place(Label3, QRect(60, 330, 1095, 255), Area::Frame);
    txtPop = new QLineEdit(Frame3);
    txtPop->setAlignment(Qt::AlignRight);
    place(txtPop, QRect(1200, 300, 675, 285), Area::Frame);
    Label3->setBuddy(txtPop);
    Label1 = new QLabel(QStringLiteral("SM&TP Port"), Frame3);
    Label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    place(Label1, QRect(120, 660, 1035, 255), Area::Frame);
    txtSmtp = new QLineEdit(Frame3);
    txtSmtp->setAlignment(Qt::AlignRight);
    place(txtSmtp, QRect(1200, 660, 675, 285), Area::Frame);
    Label1->setBuddy(txtSmtp);
    chkLocalhost = new WrappingCheckBox(QStringLiteral("&Listen only to host 127.0.0.1"), Frame3);
    place(chkLocalhost, QRect(300, 960, 1575, 495), Area::Frame);
}

void frmMain::createHotmailTab(QWidget *page)
{
    Frame1 = new QGroupBox(QStringLiteral("Receive Settings"), page);
    place(Frame1, QRect(120, 420, 4395, 1335), Area::Tab);
    chkLimitList = new QCheckBox(QStringLiteral("&Unread Hotmail only"), Frame1);
    place(chkLimitList, QRect(120, 240, 2280, 255), Area::Frame);
    chkMarkRead = new QCheckBox(QStringLiteral("&Mark Hotmail read"), Frame1);
    place(chkMarkRead, QRect(2280, 240, 1935, 255), Area::Frame);
    chkDelete = new QCheckBox(QStringLiteral("&Delete from Hotmail"), Frame1);
    place(chkDelete, QRect(2280, 540, 2115, 255), Area::Frame);
    chkPopCollect = new QCheckBox(QStringLiteral("Tri&gger Hotmail POP3 collection"), Frame1);
    place(chkPopCollect, QRect(120, 900, 3495, 255), Area::Frame);

    Frame4 = new QGroupBox(QStringLiteral("Send Settings"), page);
    place(Frame4, QRect(120, 1800, 4395, 615), Area::Tab);
    chkSaveSent = new QCheckBox(QStringLiteral("Sa&ve sent messages on Hotmail"), Frame4);
    place(chkSaveSent, QRect(120, 240, 3135, 255), Area::Frame);
}

void frmMain::createLogTab(QWidget *page)
{
    txtLog = new QPlainTextEdit(page);
    txtLog->setReadOnly(true);
    txtLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    place(txtLog, QRect(120, 420, 4395, 1995), Area::Tab);
}

void frmMain::createButtons()
{
    cmdOk = new QPushButton(QStringLiteral("&OK"), this);
    place(cmdOk, QRect(120, 2580, 975, 375), Area::Window);
    cmdCancel = new QPushButton(QStringLiteral("&Quit"), this);
    place(cmdCancel, QRect(1200, 2580, 975, 375), Area::Window);
    cmdApply = new QPushButton(QStringLiteral("&Save Settings"), this);
    place(cmdApply, QRect(2280, 2580, 1455, 375), Area::Window);
    for (QPushButton *button : {cmdOk, cmdCancel, cmdApply})
        button->setAutoDefault(false);

    lblHelp = new LinkLabel(QStringLiteral("Help"), this);
    lblHelp->setAlignment(Qt::AlignCenter);
    QFont linkFont = designFont(9.75);
    linkFont.setBold(true);
    linkFont.setUnderline(true);
    lblHelp->setFont(linkFont);
    QPalette linkPalette = lblHelp->palette();
    linkPalette.setColor(QPalette::WindowText, QColor(0, 0, 192));
    lblHelp->setPalette(linkPalette);
    lblHelp->setCursor(Qt::PointingHandCursor);
    place(lblHelp, QRect(3900, 2640, 615, 255), Area::Window);

    connect(cmdOk, &QPushButton::clicked, this, &frmMain::cmdOk_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmMain::cmdCancel_Click);
    connect(cmdApply, &QPushButton::clicked, this, &frmMain::cmdApply_Click);
    connect(lblHelp, &LinkLabel::clicked, this, &frmMain::lblHelp_Click);
}

void frmMain::setToolTipsAndOrder()
{
    cmdOk->setToolTip(QStringLiteral("Shrink window to system tray"));
    cmdCancel->setToolTip(QStringLiteral("Exit program"));
    cmdApply->setToolTip(QStringLiteral("Save preferences"));
    lblHelp->setToolTip(QStringLiteral("Visit the Zorvane support site"));
    chkAutoStart->setToolTip(QStringLiteral("Automatically start the program at logon"));
    chkStartTray->setToolTip(QStringLiteral("Hide main program window at startup"));
    txtPop->setToolTip(PortToolTip);
    txtSmtp->setToolTip(PortToolTip);
    chkLocalhost->setToolTip(QStringLiteral("Adds extra security, but may not work"));
    chkLimitList->setToolTip(QStringLiteral("Only unread Hotmail messages will be considered for download"));
    chkMarkRead->setToolTip(QStringLiteral("After download, messages will be marked as read on Hotmail."));
    chkDelete->setToolTip(QStringLiteral("Hotmail messages will be deleted after download."));
    chkPopCollect->setToolTip(QStringLiteral("Triggers a POP3 collection on Hotmail prior to download."));
    chkSaveSent->setToolTip(QStringLiteral("A copy of sent messages will be saved in Hotmail's Sent Items folder"));
    txtLog->setToolTip(QStringLiteral("Watch Zorvane at work"));

    // Object names are the controls' names, so they can be found by name.
    const QList<std::pair<QObject *, const char *>> names{{Frame1, "Frame1"},
                                                          {Frame2, "Frame2"},
                                                          {Frame3, "Frame3"},
                                                          {Frame4, "Frame4"},
                                                          {chkAutoStart, "chkAutoStart"},
                                                          {chkStartTray, "chkStartTray"},
                                                          {chkDebug, "chkDebug"},
                                                          {Label3, "Label3"},
                                                          {txtPop, "txtPop"},
                                                          {Label1, "Label1"},
                                                          {txtSmtp, "txtSmtp"},
                                                          {chkLocalhost, "chkLocalhost"},
                                                          {chkLimitList, "chkLimitList"},
                                                          {chkMarkRead, "chkMarkRead"},
                                                          {chkDelete, "chkDelete"},
                                                          {chkPopCollect, "chkPopCollect"},
                                                          {chkSaveSent, "chkSaveSent"},
                                                          {txtLog, "txtLog"},
                                                          {cmdOk, "cmdOk"},
                                                          {cmdCancel, "cmdCancel"},
                                                          {cmdApply, "cmdApply"},
                                                          {lblHelp, "lblHelp"}};
    for (const auto &[object, name] : names)
        object->setObjectName(QLatin1String(name));

    const QList<QWidget *> order{SSTab1,      chkAutoStart, chkStartTray, chkDebug,    txtPop,
                                 txtSmtp,     chkLocalhost, chkLimitList, chkMarkRead, chkDelete,
                                 chkSaveSent, cmdOk,        cmdCancel,    cmdApply,    chkPopCollect};
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order.at(i - 1), order.at(i));
    txtLog->setFocusPolicy(Qt::ClickFocus);
}

void frmMain::place(QWidget *widget, const QRect &twips, Area area)
{
    m_placements.append({widget, twips, area});
}

QRect frmMain::DesignRect(const QString &objectName) const
{
    for (const Placement &placement : m_placements) {
        if (placement.widget->objectName() == objectName)
            return placement.twips;
    }
    return QRect();
}

QSize frmMain::neededSize(QWidget *widget, const QRect &twips) const
{
    const QFontMetrics metrics(widget->font());
    if (auto *wrapping = qobject_cast<WrappingCheckBox *>(widget)) {
        const int designWidth = qRound(twips.width() * logicalDpiX() / TwipsPerInch);
        return QSize(wrapping->minimumUsefulWidth(), wrapping->neededSize(designWidth).height());
    }
    if (auto *button = qobject_cast<QPushButton *>(widget)) {
        const int margin = style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button)
            + 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
        return QSize(metrics.horizontalAdvance(withoutMnemonic(button->text())) + margin, metrics.height() + margin);
    }
    if (qobject_cast<QCheckBox *>(widget) || qobject_cast<QLabel *>(widget))
        return widget->sizeHint();
    if (qobject_cast<QLineEdit *>(widget)) {
        const int frame = 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, widget) + 4;
        return QSize(metrics.horizontalAdvance(QStringLiteral("65535")) + frame, metrics.height() + frame);
    }
    return QSize();
}

void frmMain::computeFit()
{
    ensurePolished();
    const double sx = logicalDpiX() / TwipsPerInch;
    const double sy = logicalDpiY() / TwipsPerInch;
    m_fitX = 1.0;
    m_fitY = 1.0;
    for (const Placement &placement : std::as_const(m_placements)) {
        placement.widget->ensurePolished();
        const QSize need = neededSize(placement.widget, placement.twips);
        if (need.isValid()) {
            m_fitX = qMax(m_fitX, need.width() / (placement.twips.width() * sx));
            m_fitY = qMax(m_fitY, need.height() / (placement.twips.height() * sy));
        }
    }
    // A frame's first row must start below the frame's caption.
    for (const Placement &placement : std::as_const(m_placements)) {
        auto *frame = qobject_cast<QGroupBox *>(placement.widget->parentWidget());
        if (placement.area != Area::Frame || !frame)
            continue;
        QStyleOptionGroupBox option;
        option.initFrom(frame);
        option.text = frame->title();
        option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
        option.rect = QRect(0, 0, 1000, 1000);
        option.textAlignment = frame->alignment();
        const QRect label = style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, frame);
        m_fitY = qMax(m_fitY, (label.bottom() + 1) / (placement.twips.top() * sy));
    }
    // Our tab strip may be taller than the design's; the tab contents then
    // move down and the window grows by the difference.
    const int stripHeight =
        SSTab1->tabBar()->sizeHint().height() + style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, SSTab1);
    m_tabShiftPixels = qMax(0, stripHeight + TabGapPixels - qRound(TabContentTopTwips * sy * m_fitY));
}

QRect frmMain::toPixels(const QRect &twips) const
{
    const double sx = logicalDpiX() / TwipsPerInch * m_fitX;
    const double sy = logicalDpiY() / TwipsPerInch * m_fitY;
    const int left = qRound(twips.left() * sx);
    const int top = qRound(twips.top() * sy);
    return QRect(left, top, qRound((twips.left() + twips.width()) * sx) - left,
                 qRound((twips.top() + twips.height()) * sy) - top);
}

void frmMain::layoutWindow()
{
    const QRect client = toPixels(QRect(0, 0, ClientWidthTwips, ClientHeightTwips));
    setFixedSize(client.width(), client.height() + m_tabShiftPixels);
    for (const Placement &placement : std::as_const(m_placements)) {
        QRect rect = toPixels(placement.twips);
        switch (placement.area) {
        case Area::Window:
            if (placement.widget == SSTab1)
                rect.setHeight(rect.height() + m_tabShiftPixels);
            else
                rect.translate(0, m_tabShiftPixels);
            placement.widget->setGeometry(rect);
            break;
        case Area::Frame:
            placement.widget->setGeometry(rect);
            break;
        case Area::Tab:
            break; // placed once the tab pages have their geometry
        }
    }
    layoutTabContents();
}

void frmMain::layoutTabContents()
{
    // Design positions on a tab are relative to the whole tab control; our
    // pages start below the tab strip.
    const QPoint pageOrigin = SSTab1->widget(0)->mapTo(SSTab1, QPoint(0, 0));
    for (const Placement &placement : std::as_const(m_placements)) {
        if (placement.area == Area::Tab)
            placement.widget->setGeometry(
                toPixels(placement.twips).translated(-pageOrigin.x(), m_tabShiftPixels - pageOrigin.y()));
    }
}

bool frmMain::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == SSTab1->widget(0) && (event->type() == QEvent::Resize || event->type() == QEvent::Move))
        layoutTabContents();
    return QWidget::eventFilter(watched, event);
}

void frmMain::Form_Load()
{
    if (m_windowTerminated)
        return;
    SSTab1->setCurrentIndex(0);
    chkStartTray->setEnabled(true);
    ShowValues(Preferences::Read(m_store));
    // Centred whether shown now or later from the tray: the place is kept
    // for the first show.
    centreOnScreen();
    if (chkStartTray->isChecked()) {
        // Without a tray icon to bring it back, a hidden window would be
        // lost: it starts minimised instead.
        if (!m_trayAvailable)
            showMinimized();
        return;
    }
    showNormal();
}

void frmMain::centreOnScreen()
{
    if (const QScreen *screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
}

void frmMain::ShowValues(const Preferences &values)
{
    chkAutoStart->setCheckState(Qt::CheckState(checkState(values.AutoStart)));
    chkStartTray->setCheckState(Qt::CheckState(checkState(values.StartInTray)));
    chkLimitList->setCheckState(Qt::CheckState(checkState(values.ListUnreadOnly)));
    chkMarkRead->setCheckState(Qt::CheckState(checkState(values.MarkReadOnServer)));
    chkDelete->setCheckState(Qt::CheckState(checkState(values.DeleteOnServer)));
    chkSaveSent->setCheckState(Qt::CheckState(checkState(values.SaveSentItems)));
    chkPopCollect->setCheckState(Qt::CheckState(checkState(values.CollectPOP3)));
    chkDebug->setCheckState(Qt::CheckState(checkState(values.DebugMode)));
    txtPop->setText(values.Pop3Port);
    txtSmtp->setText(values.SmtpPort);
    chkLocalhost->setCheckState(Qt::CheckState(checkState(values.LocalhostOnly)));
    m_sameUserOnly = values.SameUserOnly;
}

Preferences frmMain::ControlValues() const
{
    Preferences values;
    values.AutoStart = chkAutoStart->isChecked();
    values.StartInTray = chkStartTray->isChecked();
    values.ListUnreadOnly = chkLimitList->isChecked();
    values.MarkReadOnServer = chkMarkRead->isChecked();
    values.DeleteOnServer = chkDelete->isChecked();
    values.SaveSentItems = chkSaveSent->isChecked();
    values.CollectPOP3 = chkPopCollect->isChecked();
    values.DebugMode = chkDebug->isChecked();
    values.Pop3Port = txtPop->text();
    values.SmtpPort = txtSmtp->text();
    values.LocalhostOnly = chkLocalhost->isChecked();
    values.SameUserOnly = m_sameUserOnly;
    return values;
}

void frmMain::cmdApply_Click()
{
    // Nothing is validated or restarted: a new port is used at the next start.
    QString error;
    if (!ControlValues().Save(m_store, &error))
        m_state.ShowMessage(modMain::BoxIcon::Exclamation, QStringLiteral("Zorvane"),
                            QStringLiteral("The settings could not be saved: ") + error);
    m_autoStart.SetAutoStart(chkAutoStart->isChecked(), QCoreApplication::applicationFilePath());
}

void frmMain::cmdOk_Click()
{
    cmdApply_Click();
    showMinimized();
    if (m_trayAvailable)
        hide();
}

void frmMain::cmdCancel_Click()
{
    cmdApply_Click();
    close();
}

void frmMain::mPopRestore_Click()
{
    showNormal();
    raise();
    activateWindow();
}

QUrl frmMain::SupportPageUrl()
{
    // Shipped beside the program: <prefix>/share/zorvane/help/index.html.
    const QDir programFolder(QCoreApplication::applicationDirPath());
    const QString page = programFolder.filePath(QStringLiteral("../share/zorvane/help/index.html"));
    return QUrl::fromLocalFile(QFileInfo(page).absoluteFilePath());
}

void frmMain::lblHelp_Click()
{
    QDesktopServices::openUrl(SupportPageUrl());
}

bool frmMain::ListUnreadOnly() const
{
    return chkLimitList->isChecked();
}

bool frmMain::MarkReadOnServer() const
{
    return chkMarkRead->isChecked();
}

bool frmMain::DeleteOnServer() const
{
    return chkDelete->isChecked();
}

bool frmMain::SaveSentItems() const
{
    return chkSaveSent->isChecked();
}

bool frmMain::CollectPOP3() const
{
    return chkPopCollect->isChecked();
}

bool frmMain::LocalhostOnly() const
{
    return chkLocalhost->isChecked();
}

void frmMain::SetSockets(Winsock *wskPop, Winsock *wskSmtp)
{
    m_wskPop = wskPop;
    m_wskSmtp = wskSmtp;
}

void frmMain::closeEvent(QCloseEvent *event)
{
    // Every way out ends here: "&Quit" and "Exit" after saving, the close
    // box and the system's close request without.
    Form_Unload();
    event->accept();
}

void frmMain::Form_Unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    if (m_wskPop && m_wskSmtp)
        ShutdownSteps::Unload(m_state, *m_wskPop, *m_wskSmtp);
    emit unloaded();
}

void frmMain::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    // A minimised window hides; only the tray icon remains.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && m_trayAvailable)
        QTimer::singleShot(0, this, [this] {
            if (isMinimized())
                hide();
        });
}

void frmMain::appendToLog(const QString &chunk, bool clearedFirst)
{
    if (clearedFirst)
        txtLog->clear();
    QString text = chunk;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    txtLog->moveCursor(QTextCursor::End);
    txtLog->insertPlainText(text);
    txtLog->moveCursor(QTextCursor::End);
}

#pragma once

#include "AgentOptions.h"
#include "Preferences.h"

#include <QList>
#include <QRect>
#include <QWidget>

class AutoStartEntry;
class LinkLabel;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class SettingsStore;
class Winsock;
class WrappingCheckBox;
class modMain;

// The main window: the settings on two tabs, the on-screen log on the third,
// the buttons below. Its check boxes are the live options the front ends
// read. Positions and sizes come from the window's design in twips
// (1/1440 inch) and follow the screen's logical DPI; where the fonts of this
// desktop need more room, the whole design grows evenly so nothing is cut.
class frmMain : public QWidget, public AgentOptions
{
    Q_OBJECT
public:
    frmMain(modMain &state, SettingsStore &store, AutoStartEntry &autoStart, QWidget *parent = nullptr);
    ~frmMain() override;

    // The window load: first tab selected, settings into the controls, then
    // shown centred, or kept hidden when "Start as tray &icon" is checked.
    void Form_Load();
    // The sockets the unload closes.
    void SetSockets(Winsock *wskPop, Winsock *wskSmtp);
    // Whether minimising may hide the window: only when a tray icon can
    // bring it back.
    void SetTrayAvailable(bool available) { m_trayAvailable = available; }

    // The Preferences as the controls hold them now, and the other way.
    Preferences ControlValues() const;
    void ShowValues(const Preferences &values);

    // "&Save Settings": ten keys, then the autostart entry.
    void cmdApply_Click();
    // "&OK": save, then minimise, which hides the window.
    void cmdOk_Click();
    // "&Quit" and the tray's "Exit": save, then unload.
    void cmdCancel_Click();
    // "Restore": normal state, foreground, shown.
    void mPopRestore_Click();
    // "Help": the support page in the user's browser; errors ignored.
    void lblHelp_Click();

    // The page "Help" opens.
    static QUrl SupportPageUrl();

    // AgentOptions, read from the check boxes at the moment of use.
    bool ListUnreadOnly() const override;
    bool MarkReadOnServer() const override;
    bool DeleteOnServer() const override;
    bool SaveSentItems() const override;
    bool CollectPOP3() const override;
    bool LocalhostOnly() const override;
    bool SameUserOnly() const override { return m_sameUserOnly; }

    // The design rectangle (twips, relative to the enclosing frame, tab
    // control or window) of a named control, for checking the layout.
    QRect DesignRect(const QString &objectName) const;
    // How much the design was enlarged to fit this desktop's fonts.
    double FitFactorX() const { return m_fitX; }
    double FitFactorY() const { return m_fitY; }

signals:
    // The unload is done: sockets closed, terminating tip shown.
    void unloaded();

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    enum class Area { Window, Tab, Frame };
    struct Placement
    {
        QWidget *widget;
        QRect twips;
        Area area;
    };

    void createControls();
    void createZorvaneTab(QWidget *page);
    void createHotmailTab(QWidget *page);
    void createLogTab(QWidget *page);
    void createButtons();
    void setToolTipsAndOrder();
    void place(QWidget *widget, const QRect &twips, Area area);
    QFont designFont(double pointSize) const;
    QSize neededSize(QWidget *widget, const QRect &twips) const;
    void computeFit();
    QRect toPixels(const QRect &twips) const;
    void layoutWindow();
    void layoutTabContents();
    void centreOnScreen();
    void appendToLog(const QString &chunk, bool clearedFirst);
    void Form_Unload();

    modMain &m_state;
    SettingsStore &m_store;
    AutoStartEntry &m_autoStart;
    Winsock *m_wskPop = nullptr;
    Winsock *m_wskSmtp = nullptr;
    bool m_trayAvailable = true;
    bool m_sameUserOnly = true; // as read at the window load; no control shows it
    bool m_windowTerminated = false;
    bool m_unloaded = false;

    QList<Placement> m_placements;
    double m_fitX = 1.0;
    double m_fitY = 1.0;
    int m_tabShiftPixels = 0; // extra room when our tab strip is taller than the design's

    QTabWidget *SSTab1 = nullptr;
    QGroupBox *Frame1 = nullptr;
    QGroupBox *Frame2 = nullptr;
    QGroupBox *Frame3 = nullptr;
    QGroupBox *Frame4 = nullptr;
    QCheckBox *chkAutoStart = nullptr;
    QCheckBox *chkStartTray = nullptr;
    QCheckBox *chkDebug = nullptr;
    QLabel *Label3 = nullptr;
    QLineEdit *txtPop = nullptr;
    QLabel *Label1 = nullptr;
    QLineEdit *txtSmtp = nullptr;
    WrappingCheckBox *chkLocalhost = nullptr;
    QCheckBox *chkLimitList = nullptr;
    QCheckBox *chkMarkRead = nullptr;
    QCheckBox *chkDelete = nullptr;
    QCheckBox *chkPopCollect = nullptr;
    QCheckBox *chkSaveSent = nullptr;
    QPlainTextEdit *txtLog = nullptr;
    QPushButton *cmdOk = nullptr;
    QPushButton *cmdCancel = nullptr;
    QPushButton *cmdApply = nullptr;
    LinkLabel *lblHelp = nullptr;
};

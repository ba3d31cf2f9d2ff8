#include "AgentPreferences.h"

#include "SettingsText.h"

#include <QSettings>
#include <QStandardPaths>

#include <memory>

namespace {

const QString ApplicationName = QStringLiteral("Zorvane");
const QString SectionName = QStringLiteral("Preferences");

std::unique_ptr<QSettings> OpenStore()
{
#ifdef Q_OS_WIN
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, ApplicationName, ApplicationName);
#else
    return std::make_unique<QSettings>(AgentPreferences::IniPath(), QSettings::IniFormat);
#endif
}

QString ReadText(const QSettings &store, const QString &key, const QString &defaultValue)
{
    return SettingsText::Read(store, SectionName + QLatin1Char('/') + key).value_or(defaultValue);
}

} // namespace

AgentPreferences::AgentPreferences()
{
    const auto store = OpenStore();
    m_pop3Port = ReadText(*store, QStringLiteral("Pop3Port"), QString::fromLatin1(DefaultPop3Port));
    m_smtpPort = ReadText(*store, QStringLiteral("SmtpPort"), QString::fromLatin1(DefaultSmtpPort));
    m_serviceUrl = ReadText(*store, QStringLiteral("ServiceUrl"), QString()).trimmed();
    m_caCertificates = ReadText(*store, QStringLiteral("CaCertificates"), QString()).trimmed();
}

QString AgentPreferences::IniPath()
{
    // Asked every time, so a changed XDG_CONFIG_HOME is honoured.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/') + ApplicationName
        + QLatin1Char('/') + ApplicationName + QStringLiteral(".ini");
}

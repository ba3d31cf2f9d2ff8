#include "Preferences.h"

#include "SettingsStore.h"

namespace {

QString flag(bool checked)
{
    return checked ? QStringLiteral("1") : QStringLiteral("0");
}

bool readFlag(const SettingsStore &store, const QString &key, bool defaultValue)
{
    bool isNumber = false;
    const int number = store.value(Preferences::Section, key, flag(defaultValue)).trimmed().toInt(&isNumber);
    return isNumber ? number != 0 : defaultValue;
}

} // namespace

Preferences Preferences::Read(const SettingsStore &store)
{
    // In the order start-up has always read them.
    Preferences p;
    p.AutoStart = readFlag(store, QStringLiteral("AutoStart"), p.AutoStart);
    p.StartInTray = readFlag(store, QStringLiteral("StartInTray"), p.StartInTray);
    p.ListUnreadOnly = readFlag(store, QStringLiteral("ListUnreadOnly"), p.ListUnreadOnly);
    p.MarkReadOnServer = readFlag(store, QStringLiteral("MarkReadOnServer"), p.MarkReadOnServer);
    p.DeleteOnServer = readFlag(store, QStringLiteral("DeleteOnServer"), p.DeleteOnServer);
    p.SaveSentItems = readFlag(store, QStringLiteral("SaveSentItems"), p.SaveSentItems);
    p.CollectPOP3 = readFlag(store, QStringLiteral("CollectPOP3"), p.CollectPOP3);
    p.DebugMode = readFlag(store, QStringLiteral("DebugMode"), p.DebugMode);
    p.Pop3Port = store.value(Section, QStringLiteral("Pop3Port"), p.Pop3Port);
    p.SmtpPort = store.value(Section, QStringLiteral("SmtpPort"), p.SmtpPort);
    p.LocalhostOnly = readFlag(store, QStringLiteral("LocalhostOnly"), p.LocalhostOnly);
    p.SameUserOnly = readFlag(store, QStringLiteral("SameUserOnly"), p.SameUserOnly);
    return p;
}

bool Preferences::Save(SettingsStore &store, QString *error) const
{
    return store.setValues(Section,
                           {
                               {QStringLiteral("AutoStart"), flag(AutoStart)},
                               {QStringLiteral("StartInTray"), flag(StartInTray)},
                               {QStringLiteral("ListUnreadOnly"), flag(ListUnreadOnly)},
                               {QStringLiteral("MarkReadOnServer"), flag(MarkReadOnServer)},
                               {QStringLiteral("DeleteOnServer"), flag(DeleteOnServer)},
                               {QStringLiteral("SaveSentItems"), flag(SaveSentItems)},
                               {QStringLiteral("CollectPOP3"), flag(CollectPOP3)},
                               {QStringLiteral("Pop3Port"), Pop3Port},
                               {QStringLiteral("SmtpPort"), SmtpPort},
                               {QStringLiteral("LocalhostOnly"), flag(LocalhostOnly)},
                           },
                           error);
}

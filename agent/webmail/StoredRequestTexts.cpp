#include "StoredRequestTexts.h"

#include "SettingsStore.h"
#include "StoredTexts.h"

namespace {

const QString PreferencesSection = QStringLiteral("Preferences");

QByteArray LoadEntry(int entry, QList<int> &missing)
{
    bool ok = false;
    QByteArray text = LoadStoredText(entry, &ok);
    if (!ok)
        missing.append(entry);
    return text;
}

// A Preferences value replaces a stored entry only when the key is present,
// so a user who never set it gets the compiled-in default.
void ApplyPreference(const SettingsStore *settings, const QString &key, QByteArray &field)
{
    if (settings && settings->contains(PreferencesSection, key))
        field = settings->value(PreferencesSection, key).toUtf8();
}

} // namespace

StoredRequestTexts StoredRequestTexts::Load(const SettingsStore *settings)
{
    StoredRequestTexts t;
    QList<int> &m = t.MissingEntries;
    t.ServiceUrl = LoadEntry(1001, m);
    t.AltServiceUrl = LoadEntry(1002, m);
    t.LogoffPath = LoadEntry(1003, m);
    t.AltAccountMarker = LoadEntry(1004, m);
    t.FolderQueryBody = LoadEntry(1005, m);
    t.MarkReadBody = LoadEntry(1006, m);
    t.InboxUrlStylesheet = LoadEntry(1007, m);
    t.DeletedItemsUrlStylesheet = LoadEntry(1008, m);
    t.SendUrlStylesheet = LoadEntry(1009, m);
    t.CountStylesheetHead = LoadEntry(1011, m);
    t.UnreadCountStylesheetTail = LoadEntry(1012, m);
    t.AllCountStylesheetTail = LoadEntry(1013, m);
    t.UnreadUrlListStylesheet = LoadEntry(1014, m);
    t.AllUrlListStylesheet = LoadEntry(1015, m);
    t.UnreadSizeListStylesheet = LoadEntry(1016, m);
    t.AllSizeListStylesheet = LoadEntry(1017, m);
    t.CollectUrlStylesheet = LoadEntry(1045, m);
    for (int entry = 1018; entry <= 1022; ++entry)
        t.HeaderStylesheet += LoadEntry(entry, m);
    t.IdHeaderName = LoadEntry(1023, m);
    t.IdSuffix = LoadEntry(1024, m);
    t.SendVerb = LoadEntry(1028, m);
    t.MoveVerb = LoadEntry(1029, m);
    t.MarkReadVerb = LoadEntry(1030, m);
    t.FetchVerb = LoadEntry(1031, m);
    t.QueryVerb = LoadEntry(1032, m);
    t.QueryHeaderName = LoadEntry(1033, m);
    t.MoveTargetHeaderName = LoadEntry(1034, m);
    t.MoveFlagHeaderName = LoadEntry(1035, m);
    t.ProbeHeaderName = LoadEntry(1036, m);
    t.CommonHeaderName = LoadEntry(1037, m);
    t.CommonHeaderValue = LoadEntry(1038, m);
    t.QueryHeaderValue = LoadEntry(1040, m);
    t.SendHeaderValue = LoadEntry(1041, m);
    t.SendFlagHeaderName = LoadEntry(1042, m);
    t.SaveInSentHeaderName = LoadEntry(1043, m);
    t.ServiceMailDomain = LoadEntry(1044, m);

    ApplyPreference(settings, QStringLiteral("ServiceUrl"), t.ServiceUrl);
    ApplyPreference(settings, QStringLiteral("AltServiceUrl"), t.AltServiceUrl);
    ApplyPreference(settings, QStringLiteral("MailDomain"), t.ServiceMailDomain);
    return t;
}

#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class SettingsStore;

// The session's request texts: addresses, verbs, header names and values,
// request bodies and stylesheets. Loaded once when the session is created and
// never changed afterwards.
struct StoredRequestTexts
{
    QByteArray ServiceUrl;                // 1001
    QByteArray AltServiceUrl;             // 1002
    QByteArray LogoffPath;                // 1003
    QByteArray AltAccountMarker;          // 1004
    QByteArray FolderQueryBody;           // 1005
    QByteArray MarkReadBody;              // 1006
    QByteArray InboxUrlStylesheet;        // 1007
    QByteArray DeletedItemsUrlStylesheet; // 1008
    QByteArray SendUrlStylesheet;         // 1009
    QByteArray CountStylesheetHead;       // 1011
    QByteArray UnreadCountStylesheetTail; // 1012
    QByteArray AllCountStylesheetTail;    // 1013
    QByteArray UnreadUrlListStylesheet;   // 1014
    QByteArray AllUrlListStylesheet;      // 1015
    QByteArray UnreadSizeListStylesheet;  // 1016
    QByteArray AllSizeListStylesheet;     // 1017
    QByteArray CollectUrlStylesheet;      // 1045
    QByteArray HeaderStylesheet;          // 1018..1022 joined
    QByteArray IdHeaderName;              // 1023
    QByteArray IdSuffix;                  // 1024
    QByteArray SendVerb;                  // 1028
    QByteArray MoveVerb;                  // 1029
    QByteArray MarkReadVerb;              // 1030
    QByteArray FetchVerb;                 // 1031
    QByteArray QueryVerb;                 // 1032
    QByteArray QueryHeaderName;           // 1033
    QByteArray MoveTargetHeaderName;      // 1034
    QByteArray MoveFlagHeaderName;        // 1035
    QByteArray ProbeHeaderName;           // 1036
    QByteArray CommonHeaderName;          // 1037
    QByteArray CommonHeaderValue;         // 1038
    QByteArray QueryHeaderValue;          // 1040
    QByteArray SendHeaderValue;           // 1041
    QByteArray SendFlagHeaderName;        // 1042
    QByteArray SaveInSentHeaderName;      // 1043
    QByteArray ServiceMailDomain;         // 1044

    // Entries that could not be loaded, in load order; empty when all were.
    QList<int> MissingEntries;

    // Loads every entry in the order of the session's table. The Preferences
    // keys ServiceUrl, AltServiceUrl and MailDomain, when the store holds
    // them, replace the entries 1001, 1002 and 1044 (settings may be null).
    static StoredRequestTexts Load(const SettingsStore *settings);
};

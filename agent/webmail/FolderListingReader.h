#pragma once

#include <QByteArray>

#include <optional>

// Reads a folder's multistatus answer in one pass and gives the two texts
// that the stored address-list and size-list stylesheets make of it:
//   addresses: "*" and the normalized D:href of each listed response;
//   sizes:     "+" and the normalized first D:propstat/D:prop/D:getcontentlength;
// where a response is listed when one of its D:propstat/D:prop/m:read says
// "0" (unread only), or when it has one at all (all messages). No document
// is built: a folder of ten thousand messages would otherwise take many
// times its answer in memory, and as much time again to build and free.
class FolderListingReader
{
public:
    struct Lists
    {
        QByteArray addresses;
        QByteArray sizes;
    };

    // Nothing when the answer is not well-formed XML.
    static std::optional<Lists> Read(const QByteArray &answer, bool ListAll);

    // XPath's normalize-space: blanks, tabs, CR and LF trimmed at both ends
    // and each run of them inside made one blank.
    static QByteArray NormalizeSpace(const QByteArray &text);
};

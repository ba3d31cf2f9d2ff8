#pragma once

#include <QByteArray>
#include <QList>

#include <optional>

// The inbox's message list as the last store load found it. Every table has
// an element 0 that carries no message; message numbers are 1..n in the
// order of the service's listing. The operations here only read the tables
// (and the marks), so they send no request and cannot fail.
//
// Replies are POP3 replies without their final CRLF.
class MessageStore
{
public:
    MessageStore();

    // A store with no message (n = 0).
    static MessageStore Empty();
    // The three lists agree in length (element 0 included); the count is the
    // number of listed messages.
    static MessageStore FromListing(QList<QByteArray> urls, QList<qint64> sizes);

    QByteArray Stat() const;
    QByteArray List(int MsgNumber) const;
    QByteArray ListNames(int MsgNumber) const;
    QByteArray Mark(int MsgNumber);
    QByteArray ResetMarks();

    int MessageCount() const { return m_messageCount; }
    int HighestMessageNumber() const { return int(m_urls.size()) - 1; }
    bool IsMessageNumber(int MsgNumber) const { return MsgNumber >= 1 && MsgNumber <= HighestMessageNumber(); }
    bool IsMarked(int MsgNumber) const;
    // Marks and message tables have the same upper bound.
    bool MarksCoverMessages() const { return m_marks.size() == m_urls.size(); }
    QByteArray Url(int MsgNumber) const { return m_urls.value(MsgNumber); }
    QByteArray Name(int MsgNumber) const { return m_names.value(MsgNumber); }
    qint64 Size(int MsgNumber) const { return MsgNumber >= 1 ? m_sizes.value(MsgNumber) : 0; }
    // Sum of all listed sizes, marked messages included.
    qint64 TotalSize() const;

    // The last path segment of every address; element 0 stays empty.
    static QList<QByteArray> ListMessageNames(const QList<QByteArray> &urls);
    // A "*"-led address list: element 0 empty, 1..n the addresses.
    static QList<QByteArray> SplitUrlList(const QByteArray &stylesheetOutput);
    // A "+"-led size list: element 0 is 0, 1..n the sizes; nothing when a
    // piece is no whole number.
    static std::optional<QList<qint64>> SplitSizeList(const QByteArray &stylesheetOutput);

private:
    // The full listing: the Stat reply, one line "i item" per message, ".".
    template<typename ItemOf> QByteArray FullListing(qsizetype upperBound, ItemOf item) const;
    template<typename ItemOf> QByteArray SingleListing(int MsgNumber, qsizetype upperBound, ItemOf item) const;

    int m_messageCount = 0;
    QList<QByteArray> m_urls;
    QList<QByteArray> m_names;
    QList<qint64> m_sizes;
    QList<bool> m_marks;
};

#include "MessageStore.h"

#include <utility>

namespace {
const QByteArray CRLF("\r\n");
// A listing line is the number, a blank, the item and CRLF: a size or a
// message name takes rarely more than this, so one reservation suffices.
constexpr qsizetype TypicalListingLineBytes = 48;
} // namespace

MessageStore::MessageStore()
    : m_urls{QByteArray()}
    , m_names{QByteArray()}
    , m_sizes{0}
    , m_marks{false}
{
}

MessageStore MessageStore::Empty()
{
    return MessageStore();
}

MessageStore MessageStore::FromListing(QList<QByteArray> urls, QList<qint64> sizes)
{
    MessageStore store;
    if (urls.isEmpty() || urls.size() != sizes.size())
        return store;
    urls[0].clear();
    sizes[0] = 0;
    store.m_names = ListMessageNames(urls);
    store.m_urls = std::move(urls);
    store.m_sizes = std::move(sizes);
    store.m_messageCount = int(store.m_urls.size() - 1);
    store.m_marks = QList<bool>(store.m_urls.size(), false);
    return store;
}

bool MessageStore::IsMarked(int MsgNumber) const
{
    return MsgNumber >= 0 && MsgNumber < m_marks.size() && m_marks.at(MsgNumber);
}

qint64 MessageStore::TotalSize() const
{
    qint64 total = 0;
    for (qsizetype i = 1; i < m_sizes.size(); ++i)
        total += m_sizes.at(i);
    return total;
}

QByteArray MessageStore::Stat() const
{
    return "+OK " + QByteArray::number(m_messageCount) + ' ' + QByteArray::number(TotalSize());
}

template<typename ItemOf> QByteArray MessageStore::FullListing(qsizetype upperBound, ItemOf item) const
{
    QByteArray reply = Stat();
    reply.reserve(reply.size() + (upperBound + 1) * TypicalListingLineBytes);
    reply += CRLF;
    for (qsizetype i = 1; i <= upperBound; ++i) {
        reply += QByteArray::number(i);
        reply += ' ';
        reply += item(i);
        reply += CRLF;
    }
    reply += '.';
    return reply;
}

template<typename ItemOf> QByteArray MessageStore::SingleListing(int MsgNumber, qsizetype upperBound, ItemOf item) const
{
    if (MsgNumber > upperBound)
        return "-ERR no such message";
    if (IsMarked(MsgNumber))
        return "-ERR deleted";
    return "+OK " + QByteArray::number(MsgNumber) + ' ' + item(MsgNumber);
}

QByteArray MessageStore::List(int MsgNumber) const
{
    const auto size = [this](qsizetype i) { return QByteArray::number(m_sizes.at(i)); };
    const qsizetype upperBound = m_sizes.size() - 1;
    if (MsgNumber < 1)
        return FullListing(upperBound, size);
    return SingleListing(MsgNumber, upperBound, size);
}

QByteArray MessageStore::ListNames(int MsgNumber) const
{
    const auto name = [this](qsizetype i) { return m_names.at(i); };
    const qsizetype upperBound = m_names.size() - 1;
    if (MsgNumber < 1)
        return FullListing(upperBound, name);
    return SingleListing(MsgNumber, upperBound, name);
}

QByteArray MessageStore::ResetMarks()
{
    if (m_marks.size() < m_urls.size())
        m_marks.resize(m_urls.size());
    m_marks.fill(false);
    return "+OK reset";
}

QByteArray MessageStore::Mark(int MsgNumber)
{
    if (m_marks.size() < m_urls.size())
        ResetMarks();
    if (!IsMessageNumber(MsgNumber))
        return "-ERR no such message";
    m_marks[MsgNumber] = true;
    return "+OK marked for deletion";
}

QList<QByteArray> MessageStore::ListMessageNames(const QList<QByteArray> &urls)
{
    QList<QByteArray> names;
    names.reserve(urls.size());
    for (qsizetype i = 0; i < urls.size(); ++i) {
        if (i == 0) {
            names.append(QByteArray());
            continue;
        }
        const QByteArray &url = urls.at(i);
        names.append(url.mid(url.lastIndexOf('/') + 1));
    }
    return names;
}

QList<QByteArray> MessageStore::SplitUrlList(const QByteArray &stylesheetOutput)
{
    QList<QByteArray> urls = stylesheetOutput.split('*');
    // Whatever stands before the first "*" is no address.
    urls[0].clear();
    for (qsizetype i = 1; i < urls.size(); ++i)
        urls[i] = urls.at(i).trimmed();
    return urls;
}

std::optional<QList<qint64>> MessageStore::SplitSizeList(const QByteArray &stylesheetOutput)
{
    const QList<QByteArray> pieces = stylesheetOutput.split('+');
    QList<qint64> sizes;
    sizes.reserve(pieces.size());
    sizes.append(0);
    for (qsizetype i = 1; i < pieces.size(); ++i) {
        bool ok = false;
        const qint64 size = pieces.at(i).trimmed().toLongLong(&ok);
        if (!ok || size < 0)
            return std::nullopt;
        sizes.append(size);
    }
    return sizes;
}

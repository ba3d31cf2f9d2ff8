// What the session makes of the service's folder answers. Two ways in:
//
// - the stylesheet outputs themselves as arbitrary text: the "*"-led
//   address list, the "+"-led size list, and the message store built from
//   them, with every reply it gives for any message number;
// - an arbitrary service answer parsed as XML and run through the stored
//   stylesheets exactly as the store load runs them (address, count, list
//   and header stylesheets), the outputs then going the first way.
//
// Input: one byte (bit 0: the rest is an answer to transform, else the rest
// is stylesheet output, cut at the first NUL into addresses and sizes).

#include "FuzzHarness.h"

#include "MessageStore.h"
#include "StoredTexts.h"
#include "XmlDocument.h"

namespace {

struct Stylesheets
{
    Stylesheets()
    {
        for (int entry : {1007, 1008, 1009, 1045, 1014, 1015, 1016, 1017})
            addresses.append(load(entry));
        countHead = LoadStoredText(1011);
        unreadTail = LoadStoredText(1012);
        allTail = LoadStoredText(1013);
        QByteArray header;
        for (int entry = 1018; entry <= 1022; ++entry)
            header += LoadStoredText(entry);
        headerLines.loadXML(header);
        for (const XmlDocument &sheet : addresses)
            FuzzHarness::require(!sheet.isEmpty(), "a stored stylesheet does not load");
    }
    static XmlDocument load(int entry)
    {
        XmlDocument sheet;
        sheet.loadXML(LoadStoredText(entry));
        return sheet;
    }

    QList<XmlDocument> addresses; // 1007 1008 1009 1045, then lists 1014..1017
    QByteArray countHead;
    QByteArray unreadTail;
    QByteArray allTail;
    XmlDocument headerLines;
};

void exerciseStore(const QByteArray &urlOutput, const QByteArray &sizeOutput)
{
    const QList<QByteArray> urls = MessageStore::SplitUrlList(urlOutput);
    FuzzHarness::require(!urls.isEmpty(), "address list without element 0");
    const QList<QByteArray> names = MessageStore::ListMessageNames(urls);
    FuzzHarness::require(names.size() == urls.size() && names.first().isEmpty(), "names do not match addresses");
    for (qsizetype i = 1; i < names.size(); ++i)
        FuzzHarness::require(!names.at(i).contains('/'), "a name holds a slash", names.at(i));

    const std::optional<QList<qint64>> sizes = MessageStore::SplitSizeList(sizeOutput);
    if (!sizes)
        return; // a size that is no number fails the store load
    FuzzHarness::require(!sizes->isEmpty() && sizes->first() == 0, "size list without element 0");
    if (sizes->size() != urls.size())
        return; // the store load refuses lists that disagree

    MessageStore store = MessageStore::FromListing(urls, *sizes);
    const int highest = store.HighestMessageNumber();
    FuzzHarness::require(highest == urls.size() - 1, "wrong highest message number");
    const QByteArray stat = store.Stat();
    FuzzHarness::require(stat.startsWith("+OK ") && !stat.contains("\r\n"), "Stat is no status line", stat);
    const QByteArray listing = store.List(0);
    FuzzHarness::require(listing.startsWith(stat + "\r\n") && listing.endsWith("."), "listing malformed", listing);
    FuzzHarness::require(listing.count("\r\n") == highest + 1, "listing line count", listing);
    const QByteArray uidl = store.ListNames(0);
    FuzzHarness::require(uidl.startsWith(stat + "\r\n") && uidl.endsWith("."), "name listing malformed", uidl);
    const QList<int> numbers{-1, 0, 1, 2, highest, highest + 1};
    for (int n : numbers) {
        const QByteArray number = QByteArray::number(n);
        const QByteArray expected = n < 1 ? stat
            : n <= highest                ? "+OK " + number + ' '
                                          : QByteArray("-ERR no such message");
        FuzzHarness::require(store.List(n).startsWith(expected), "List reply", store.List(n));
        FuzzHarness::require(store.ListNames(n).startsWith(expected), "ListNames reply", store.ListNames(n));
    }
    for (int n : numbers) {
        const QByteArray marked = store.Mark(n);
        FuzzHarness::require(marked == (n >= 1 && n <= highest ? "+OK marked for deletion" : "-ERR no such message"),
                             "Mark reply", marked);
        if (n >= 1 && n <= highest)
            FuzzHarness::require(store.List(n) == "-ERR deleted", "marked message still listed");
    }
    FuzzHarness::require(store.ResetMarks() == "+OK reset" && !store.IsMarked(1), "marks not reset");
}

void transformAnswer(const Stylesheets &sheets, const QByteArray &answer)
{
    XmlDocument document;
    if (!document.loadXML(answer)) {
        FuzzHarness::require(document.xml().isEmpty(), "a refused answer still serialises");
        return;
    }
    QList<QByteArray> outputs;
    for (const XmlDocument &sheet : sheets.addresses) {
        bool ok = false;
        int error = 0;
        outputs.append(document.transformNode(sheet, &ok, &error));
        FuzzHarness::require(ok || error != 0, "a failed transformation has no error number");
    }
    // The count stylesheet is built around the inbox address, as the store
    // load builds it; an address that breaks the stylesheet fails the load.
    for (const QByteArray &tail : {sheets.unreadTail, sheets.allTail}) {
        XmlDocument count;
        if (count.loadXML(sheets.countHead + outputs.at(0) + tail)) {
            bool ok = false;
            document.transformNode(count, &ok);
        }
    }
    bool ok = false;
    const QByteArray headers = document.transformNode(sheets.headerLines, &ok);
    FuzzHarness::require(ok || headers.isEmpty(), "a failed header transformation gave text");
    exerciseStore(outputs.at(4), outputs.at(6));
    exerciseStore(outputs.at(5), outputs.at(7));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzHarness::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const Stylesheets *sheets = new Stylesheets;
    FuzzHarness::InputReader input(data, size);
    const quint8 mode = input.byte();
    const QByteArray rest = input.rest();
    if (mode & 1) {
        transformAnswer(*sheets, rest);
        return 0;
    }
    const qsizetype cut = rest.indexOf('\0');
    exerciseStore(cut < 0 ? rest : rest.left(cut), cut < 0 ? QByteArray() : rest.mid(cut + 1));
    return 0;
}

#pragma once

#include <QByteArray>
#include <QObject>

class modMain;
class Winsock;

// The POP3 front end: serves one client at a time on wskPop, which the entry
// point has already set listening (or tried to). Interprets each complete
// line with HandlePopCommand and sends the reply.
class PopFrontEnd : public QObject
{
    Q_OBJECT
public:
    PopFrontEnd(modMain &state, Winsock &wskPop, QObject *parent = nullptr);
    ~PopFrontEnd() override;

    // One command line (without CRLF) in, one reply text out (with its final
    // CRLF), no socket calls: the dialogue without a network.
    QByteArray HandlePopCommand(const QByteArray &line);

private:
    struct Private;
    Private *d;
};

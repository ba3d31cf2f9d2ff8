#pragma once

#include <QByteArray>
#include <QByteArrayView>

// The message text as the client meant it: everything before the end marker
// "\r\n.\r\n" (its CR LF stays, so the text ends in CR LF), and every line
// that begins with two dots with one of them removed (the transparency rule
// of SMTP). A text that begins with the marker's dot line (".\r\n" right
// after the 354 reply) is the empty message. The first line is unstuffed
// like every other: the client stuffed it too.
// The text is changed where it lies: a caller that hands it over with
// std::move gets its own buffer back, so a large message is never held twice.
QByteArray UnstuffData(QByteArray text);

// The other way round: the message text as a client sends it, every line
// that begins with a dot stuffed with one more and the end marker added.
QByteArray StuffData(QByteArrayView message);

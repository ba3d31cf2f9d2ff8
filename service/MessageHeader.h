#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The header section of a stored message: its physical lines up to the
// empty line that ends it.
class MessageHeader
{
public:
    static constexpr qint64 MaxHeaderSectionBytes = 1024 * 1024; // longer headers are cut here

    explicit MessageHeader(const QByteArray &text);
    // Reads the header section of a file; false when it cannot be read.
    static bool readFromFile(const QString &path, MessageHeader *header, QString *error);

    // Lines without their line ends; continuation lines are lines of their own.
    const QList<QByteArray> &lines() const { return m_lines; }
    // The unfolded value of the first field of that name, empty when absent.
    QByteArray field(const QByteArray &name) const;

private:
    QList<QByteArray> m_lines;
};

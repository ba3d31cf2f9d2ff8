#include "EnvelopeLine.h"

#include "CommandText.h"

namespace {

const QByteArray CrLf = QByteArrayLiteral("\r\n");
const QByteArray Lf = QByteArrayLiteral("\n");

QByteArray lineEndOf(const QByteArray &text)
{
    if (text.endsWith(CrLf))
        return CrLf;
    if (text.endsWith(Lf))
        return Lf;
    return QByteArray();
}

} // namespace

EnvelopeLine::EnvelopeLine(const QByteArray &commandText)
{
    const QByteArray lineEnd = lineEndOf(commandText);
    QByteArray command = commandText.left(commandText.size() - lineEnd.size());
    if (CommandText::HoldsLineBreakOrNul(command))
        return;
    if (!command.contains(':'))
        command.append(':');

    const qsizetype colon = command.indexOf(':');
    m_argument = command.mid(colon + 1);
    const qsizetype second = m_argument.indexOf(':');
    QByteArray address = CommandText::WithoutLeadingBlanks(m_argument);
    // Up to a second ":" the blanks before it go too; up to the line end
    // they stay, as the client wrote them.
    if (second >= 0) {
        m_argument.truncate(second);
        address = CommandText::WithoutBlanks(m_argument);
    }
    m_line = command.left(colon + 1) + address + (lineEnd.isEmpty() ? CrLf : lineEnd);
    m_valid = true;
}

QString EnvelopeLine::AddressName() const
{
    QByteArray name = m_argument;
    name.replace('<', ' ').replace('>', ' ');
    return QString::fromUtf8(CommandText::WithoutBlanks(name));
}

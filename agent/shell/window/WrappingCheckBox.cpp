#include "WrappingCheckBox.h"

#include <QStyleOptionButton>
#include <QStylePainter>

namespace {

QString withoutMnemonic(QString text)
{
    return text.replace(QStringLiteral("&&"), QStringLiteral("\x01"))
        .remove(QLatin1Char('&'))
        .replace(QLatin1Char('\x01'), QLatin1Char('&'));
}

} // namespace

int WrappingCheckBox::indicatorSpace() const
{
    return style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, this)
        + style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, this) + 2;
}

QString WrappingCheckBox::wrappedText(int width) const
{
    const int textWidth = width - indicatorSpace();
    const QStringList words = text().split(QLatin1Char(' '));
    QString result;
    QString line;
    for (const QString &word : words) {
        const QString candidate = line.isEmpty() ? word : line + QLatin1Char(' ') + word;
        if (!line.isEmpty() && fontMetrics().horizontalAdvance(withoutMnemonic(candidate)) > textWidth) {
            result += line + QLatin1Char('\n');
            line = word;
        } else {
            line = candidate;
        }
    }
    return result + line;
}

QSize WrappingCheckBox::neededSize(int width) const
{
    const QSize textSize = fontMetrics().size(Qt::TextShowMnemonic, wrappedText(width));
    const int indicatorHeight = style()->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, this);
    return QSize(textSize.width() + indicatorSpace(), qMax(textSize.height(), indicatorHeight) + 2);
}

int WrappingCheckBox::minimumUsefulWidth() const
{
    int widest = 0;
    for (const QString &word : text().split(QLatin1Char(' ')))
        widest = qMax(widest, fontMetrics().horizontalAdvance(withoutMnemonic(word)));
    return widest + indicatorSpace();
}

QSize WrappingCheckBox::sizeHint() const
{
    return neededSize(width() > 0 ? width() : QCheckBox::sizeHint().width());
}

QSize WrappingCheckBox::minimumSizeHint() const
{
    return QSize(minimumUsefulWidth(), neededSize(minimumUsefulWidth()).height());
}

void WrappingCheckBox::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text = wrappedText(width());
    painter.drawControl(QStyle::CE_CheckBox, option);
}

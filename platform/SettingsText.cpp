#include "SettingsText.h"

#include <QFile>
#include <QSettings>
#include <QStringList>

namespace {

// A settings file is small; one that is not is not read line by line.
constexpr qint64 MaxStoreBytes = 1024 * 1024;

// Section and key names in the file carry "%XX" and "%UXXXX" for characters
// outside letters, digits, "_", "-" and ".", and "\" for "/".
QString unescapedName(const QString &name)
{
    QString result;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (c == QLatin1Char('\\')) {
            result += QLatin1Char('/');
            continue;
        }
        const bool wide = c == QLatin1Char('%') && name.mid(i + 1, 1) == QLatin1String("U");
        const qsizetype digits = wide ? 4 : 2;
        bool ok = false;
        const uint code = c == QLatin1Char('%') ? name.mid(i + (wide ? 2 : 1), digits).toUInt(&ok, 16) : 0;
        if (ok) {
            result += QChar(char16_t(code));
            i += digits + (wide ? 1 : 0);
            continue;
        }
        result += c;
    }
    return result;
}

} // namespace

std::optional<QString> SettingsText::Read(const QSettings &settings, const QString &key)
{
    const QVariant value = settings.value(key);
    if (!value.isValid())
        return std::nullopt;
    if (!IsSplit(settings, key))
        return value.toString();
    if (settings.format() == QSettings::IniFormat) {
        if (const std::optional<QString> line = LineText(settings.fileName(), key))
            return line;
    }
    return value.toStringList().join(QLatin1Char(','));
}

void SettingsText::RejoinSplitValues(QSettings &settings)
{
    for (const QString &key : settings.allKeys()) {
        if (!IsSplit(settings, key))
            continue;
        if (const std::optional<QString> text = Read(settings, key))
            settings.setValue(key, *text);
    }
}

bool SettingsText::IsSplit(const QSettings &settings, const QString &key)
{
    return settings.value(key).typeId() == QMetaType::QStringList;
}

// The text after "=" on the key's line in its section, without the blanks
// around it, exactly as written otherwise.
std::optional<QString> SettingsText::LineText(const QString &iniPath, const QString &key)
{
    const qsizetype slash = key.indexOf(QLatin1Char('/'));
    const QString section = slash < 0 ? QStringLiteral("General") : key.left(slash);
    const QString name = slash < 0 ? key : key.mid(slash + 1);

    QFile file(iniPath);
    if (file.size() > MaxStoreBytes || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QStringList lines = QString::fromUtf8(file.read(MaxStoreBytes)).split(QLatin1Char('\n'));
    bool inSection = false;
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            inSection = unescapedName(line.mid(1, line.size() - 2).trimmed()) == section;
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (inSection && equals > 0 && unescapedName(line.left(equals).trimmed()) == name)
            return line.mid(equals + 1).trimmed();
    }
    return std::nullopt;
}

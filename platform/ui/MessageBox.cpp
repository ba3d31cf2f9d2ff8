#include "MessageBox.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>

#include <cstdio>

namespace MessageBox {

bool CanShowBoxes()
{
    return qobject_cast<QApplication *>(QCoreApplication::instance())
        && QGuiApplication::platformName() != QLatin1String("offscreen")
        && QGuiApplication::platformName() != QLatin1String("minimal");
}

void Show(Icon icon, const QString &title, const QString &text)
{
    if (!CanShowBoxes()) {
        QString plain = text;
        plain.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(plain));
        std::fflush(stderr);
        return;
    }
    QMessageBox box(icon == Icon::Critical          ? QMessageBox::Critical
                        : icon == Icon::Exclamation ? QMessageBox::Warning
                                                    : QMessageBox::Information,
                    title, text, QMessageBox::Ok);
    box.exec();
}

} // namespace MessageBox

#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

// What every fuzz target shares: one Qt application for the whole run, and
// settings, runtime and temp folders of its own so that nothing the code
// under test writes lands in the user's folders.
namespace FuzzHarness {

inline QTemporaryDir &privateRoot()
{
    static QTemporaryDir root(QDir::tempPath() + QStringLiteral("/zorvane-fuzz-XXXXXX"));
    return root;
}

inline QString privateFolder(const QString &name)
{
    const QString path = privateRoot().filePath(name);
    QDir().mkpath(path);
    return path;
}

// Call from LLVMFuzzerInitialize, before anything reads the environment.
inline void start()
{
    static int argc = 1;
    static char name[] = "zorvane-fuzz";
    static char *argv[] = {name, nullptr};
    if (!privateRoot().isValid())
        std::abort();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(privateFolder(QStringLiteral("config"))));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(privateFolder(QStringLiteral("runtime"))));
    qputenv("TMPDIR", QFile::encodeName(privateFolder(QStringLiteral("temp"))));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Warnings of the code under test are expected on hostile input; they
    // would only slow the run down.
    qputenv("QT_LOGGING_RULES", "*.debug=false;*.warning=false");
    static QCoreApplication application(argc, argv);
}

// A broken property: print what was seen and stop like a crash, so that
// libFuzzer keeps the input.
[[noreturn]] inline void fail(const char *what, const QByteArray &detail = QByteArray())
{
    std::fprintf(stderr, "property violated: %s\n%s\n", what, detail.left(2000).toHex(' ').constData());
    std::abort();
}

inline void require(bool holds, const char *what, const QByteArray &detail = QByteArray())
{
    if (!holds)
        fail(what, detail);
}

// Reads the input front to back: small numbers and the rest as bytes.
class InputReader
{
public:
    InputReader(const uint8_t *data, size_t size)
        : m_bytes(reinterpret_cast<const char *>(data), qsizetype(size))
    {
    }
    quint8 byte() { return m_at < m_bytes.size() ? quint8(m_bytes.at(m_at++)) : 0; }
    QByteArray take(qsizetype count)
    {
        const QByteArray part = m_bytes.mid(m_at, count);
        m_at += part.size();
        return part;
    }
    QByteArray rest() { return take(m_bytes.size() - m_at); }
    bool atEnd() const { return m_at >= m_bytes.size(); }

private:
    QByteArray m_bytes;
    qsizetype m_at = 0;
};

} // namespace FuzzHarness

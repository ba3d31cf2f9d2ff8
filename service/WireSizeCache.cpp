#include "WireSizeCache.h"

#include "WireForm.h"

qint64 WireSizeCache::wireSize(const QString &path, qint64 mtimeNs, qint64 fileSize, QFile *openFile)
{
    const auto it = m_entries.constFind(path);
    if (it != m_entries.constEnd() && it->mtimeNs == mtimeNs && it->fileSize == fileSize)
        return it->wireSize;
    const qint64 size = openFile ? WireForm::sizeOfOpenFile(*openFile) : WireForm::sizeOfFile(path);
    if (openFile)
        openFile->seek(0);
    ++m_filesRead;
    if (size < 0)
        return -1;
    if (m_entries.size() >= MaxEntries)
        m_entries.clear();
    m_entries.insert(path, {mtimeNs, fileSize, size});
    return size;
}

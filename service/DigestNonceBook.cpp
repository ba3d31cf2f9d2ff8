#include "DigestNonceBook.h"

#include "ConstantTime.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

namespace {

constexpr qsizetype SecretBytes = 32;
constexpr qsizetype MacHexChars = 32; // 128 bits of the keyed hash

} // namespace

DigestNonceBook::DigestNonceBook(std::function<qint64()> now)
    : m_now(std::move(now))
{
    m_secret.resize(SecretBytes);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(m_secret.data()), SecretBytes / sizeof(quint32));
}

QByteArray DigestNonceBook::macOf(const QByteArray &timeAndSerial) const
{
    return QCryptographicHash::hash(m_secret + timeAndSerial, QCryptographicHash::Sha256).toHex().left(MacHexChars);
}

QByteArray DigestNonceBook::issue()
{
    // The serial makes every nonce unique, so two clients challenged in the
    // same second never share a count.
    const QByteArray timeAndSerial = QByteArray::number(m_now(), 16) + '.' + QByteArray::number(++m_serial, 16);
    const QByteArray nonce = timeAndSerial + '.' + macOf(timeAndSerial);
    if (m_counts.size() >= MaxTrackedNonces)
        forgetOldest();
    m_counts.insert(nonce, Counts{});
    m_issueOrder.push_back(nonce);
    return nonce;
}

void DigestNonceBook::forgetOldest()
{
    m_counts.remove(m_issueOrder.front());
    m_issueOrder.pop_front();
}

bool DigestNonceBook::isCurrent(const QByteArray &nonce) const
{
    const qsizetype lastDot = nonce.lastIndexOf('.');
    if (lastDot <= 0 || !ConstantTime::equal(nonce.mid(lastDot + 1), macOf(nonce.left(lastDot))))
        return false;
    bool ok = false;
    const qint64 issued = nonce.left(nonce.indexOf('.')).toLongLong(&ok, 16);
    const qint64 age = m_now() - issued;
    return ok && age >= 0 && age <= LifetimeSeconds;
}

bool DigestNonceBook::takeCount(Counts *counts, quint64 nc)
{
    if (nc > counts->highest) {
        const quint64 step = nc - counts->highest;
        // The old highest count becomes one of the used ones below.
        const quint64 shifted = step >= CountWindow ? 0 : counts->usedBelow << step;
        const quint64 oldHighest = counts->highest > 0 && step <= CountWindow ? quint64(1) << (step - 1) : 0;
        counts->usedBelow = shifted | oldHighest;
        counts->highest = nc;
        return true;
    }
    const quint64 below = counts->highest - nc; // 0: the highest itself, used
    if (below == 0 || below > CountWindow)
        return false;
    const quint64 bit = quint64(1) << (below - 1);
    if (counts->usedBelow & bit)
        return false;
    counts->usedBelow |= bit;
    return true;
}

DigestNonceBook::Verdict DigestNonceBook::use(const QByteArray &nonce, quint64 nc)
{
    if (nc == 0 || !isCurrent(nonce))
        return Verdict::Stale;
    const auto it = m_counts.find(nonce);
    if (it == m_counts.end())
        return Verdict::Stale; // forgotten to make room for newer ones
    return takeCount(&it.value(), nc) ? Verdict::Accepted : Verdict::Stale;
}

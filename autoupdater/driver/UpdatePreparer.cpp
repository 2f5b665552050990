#include "driver/UpdatePreparer.h"

#include "AppError.h"
#include "driver/DownloadProgress.h"
#include "driver/modFunctions.h"
#include "unzip/cUnzip.h"
#include "verify/UpdateVerifier.h"

namespace {
qint64 steadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

UpdatePreparer::UpdatePreparer(cUnzip& archive, UpdateVerifier& verifier, QString programFolder)
    : m_archive(archive), m_verifier(verifier), m_programFolder(std::move(programFolder)) {
    // The engine reports the bytes it has staged, on the preparing thread, after every entry and
    // every few tenths of a second within a large one; the answer stops the engine call when the
    // preparing is being stopped.
    connect(
        &m_archive, &cUnzip::Staging, this,
        [this](qint64 bytesWritten, bool& bCancel) {
            m_prepared = m_preparedBefore + bytesWritten;
            bCancel = m_stopping;
            notify(false);
        },
        Qt::DirectConnection);
    m_thread = std::thread([this] { work(); });
}

UpdatePreparer::~UpdatePreparer() {
    stop(std::chrono::milliseconds::max());
    m_thread.join();
    discard();
}

void UpdatePreparer::add(const QString& package) {
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping || m_failure)
            return;
        m_queue.append(package);
    }
    m_wake.notify_all();
}

bool UpdatePreparer::idle() const {
    std::lock_guard lock(m_mutex);
    return m_queue.isEmpty() && !m_working;
}

std::optional<QString> UpdatePreparer::failure() const {
    std::lock_guard lock(m_mutex);
    return m_failure;
}

bool UpdatePreparer::stop(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    m_stopping = true;
    m_queue.clear();
    m_wake.notify_all();
    const auto stopped = [this] { return !m_working; };
    if (limit == std::chrono::milliseconds::max()) {
        m_idleState.wait(lock, stopped);
        return true;
    }
    return m_idleState.wait_for(lock, limit, stopped);
}

void UpdatePreparer::discard() {
    // Only ever with the thread idle: the engine is not in use.
    m_archive.DiscardUpdate();
}

void UpdatePreparer::work() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return !m_queue.isEmpty() || m_stopping; });
        if (m_queue.isEmpty())
            return; // stopped
        const QString package = m_queue.takeFirst();
        m_working = true;
        lock.unlock();
        prepare(package);
        lock.lock();
        m_working = false;
        m_idleState.notify_all();
        lock.unlock();
        notify(true);
        lock.lock();
    }
}

// Checks, lists and stages one package; a failure ends the preparing with its line.
void UpdatePreparer::prepare(const QString& package) {
    const QString cannotExtract =
        QStringLiteral("ERROR: Update file '%1' could not be extracted.").arg(package);
    try {
        if (m_verifier.signaturesRequired()) {
            if (const std::optional<UpdateVerifier::Refusal> refusal = m_verifier.verify({package}))
                return fail(refusal->statusLine);
        }
        const qint64 size = listSize(package);
        if (!m_begun) {
            if (m_archive.BeginUpdate() != UZ_OK)
                return fail(QStringLiteral("ERROR: Unable to prepare the update."));
            m_begun = true;
        }
        Prepare_Unzip(m_archive, m_programFolder, package);
        if (m_archive.PrepareUpdate()) {
            if (!m_stopping)
                fail(cannotExtract);
            return;
        }
        m_preparedBefore += size;
        m_prepared = m_preparedBefore;
    } catch (const AppError& error) {
        fail(cannotExtract.chopped(1) + QStringLiteral(": ") + error.description());
    } catch (const std::exception& error) {
        fail(cannotExtract.chopped(1) + QStringLiteral(": ") +
             QString::fromLocal8Bit(error.what()));
    }
}

// The size of the package's entries, added to the total of the progress. An archive that cannot be
// listed fails when it is staged.
qint64 UpdatePreparer::listSize(const QString& package) {
    Prepare_Unzip(m_archive, m_programFolder, package);
    m_archive.Directory();
    qint64 sum = 0;
    for (qint32 i = 1; i <= m_archive.FileCount(); ++i)
        sum += static_cast<quint32>(m_archive.FileSize(i));
    m_total += sum;
    return sum;
}

void UpdatePreparer::fail(const QString& line) {
    std::lock_guard lock(m_mutex);
    if (!m_failure)
        m_failure = line;
    m_queue.clear();
}

// Tells the object's thread, at most every few milliseconds unless `always`.
void UpdatePreparer::notify(bool always) {
    const qint64 now = steadyMilliseconds();
    if (!always && now - m_lastNotice < kProgressRedrawInterval.count())
        return;
    m_lastNotice = now;
    QMetaObject::invokeMethod(
        this, [this] { emit changed(); }, Qt::QueuedConnection);
}

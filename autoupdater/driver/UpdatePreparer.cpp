#include "driver/UpdatePreparer.h"

#include "AppError.h"
#include "core/EventLoop.h"
#include "driver/DownloadProgress.h"
#include "driver/modFunctions.h"
#include "unzip/cUnzip.h"
#include "verify/UpdateVerifier.h"

namespace {
std::int64_t steadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

UpdatePreparer::UpdatePreparer(cUnzip& archive, UpdateVerifier& verifier, std::string programFolder,
                               EventLoop& loop)
    : m_archive(archive), m_verifier(verifier), m_programFolder(std::move(programFolder)),
      m_loop(loop) {
    // The engine reports the bytes it has staged, on the preparing thread, after every entry and
    // every few tenths of a second within a large one; the answer stops the engine call when the
    // preparing is being stopped.
    m_archive.Staging = [this](std::int64_t bytesWritten, bool& bCancel) {
        m_prepared = m_preparedBefore + bytesWritten;
        bCancel = m_stopping;
        notify(false);
    };
    m_thread = std::thread([this] { work(); });
}

UpdatePreparer::~UpdatePreparer() {
    stop(std::chrono::milliseconds::max());
    m_thread.join();
    discard();
    m_archive.Staging = nullptr;
    *m_alive = false;
}

void UpdatePreparer::add(const std::string& package) {
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping || m_failure)
            return;
        m_queue.push_back(package);
    }
    m_wake.notify_all();
}

bool UpdatePreparer::idle() const {
    std::lock_guard lock(m_mutex);
    return m_queue.empty() && !m_working;
}

std::optional<std::string> UpdatePreparer::failure() const {
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
        m_wake.wait(lock, [this] { return !m_queue.empty() || m_stopping; });
        if (m_queue.empty())
            return; // stopped
        const std::string package = m_queue.front();
        m_queue.pop_front();
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
void UpdatePreparer::prepare(const std::string& package) {
    const std::string cannotExtract = "ERROR: Update file '" + package + "' could not be extracted";
    try {
        if (m_verifier.signaturesRequired()) {
            if (const std::optional<UpdateVerifier::Refusal> refusal = m_verifier.verify({package}))
                return fail(refusal->statusLine);
        }
        const std::int64_t size = listSize(package);
        if (!m_begun) {
            if (m_archive.BeginUpdate() != UZ_OK)
                return fail("ERROR: Unable to prepare the update.");
            m_begun = true;
        }
        Prepare_Unzip(m_archive, m_programFolder, package);
        if (m_archive.PrepareUpdate()) {
            if (!m_stopping)
                fail(cannotExtract + ".");
            return;
        }
        m_preparedBefore += size;
        m_prepared = m_preparedBefore;
    } catch (const AppError& error) {
        fail(cannotExtract + ": " + error.description());
    } catch (const std::exception& error) {
        fail(cannotExtract + ": " + error.what());
    }
}

// The size of the package's entries, added to the total of the progress. An archive that cannot be
// listed fails when it is staged.
std::int64_t UpdatePreparer::listSize(const std::string& package) {
    Prepare_Unzip(m_archive, m_programFolder, package);
    m_archive.Directory();
    std::int64_t sum = 0;
    for (std::int32_t i = 1; i <= m_archive.FileCount(); ++i)
        sum += static_cast<std::uint32_t>(m_archive.FileSize(i));
    m_total += sum;
    return sum;
}

void UpdatePreparer::fail(const std::string& line) {
    std::lock_guard lock(m_mutex);
    if (!m_failure)
        m_failure = line;
    m_queue.clear();
}

// Tells the run's thread, at most every few milliseconds unless `always`.
void UpdatePreparer::notify(bool always) {
    const std::int64_t now = steadyMilliseconds();
    if (!always && now - m_lastNotice < kProgressRedrawInterval.count())
        return;
    m_lastNotice = now;
    m_loop.post([this, alive = m_alive] {
        if (*alive && changed)
            changed();
    });
}

#include "unzip/mUnzip.h"

#include "SpaceTrim.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <dlfcn.h>
#include <utility>
#include <vector>

#include "AppError.h"
#include "vbuzip10.h"

namespace mUnzip {

namespace {

// Read limits of the engine's texts.
constexpr qsizetype kListTextLimit = 256;
constexpr qsizetype kReplaceNameLimit = 32801;
constexpr uint32_t kMessageLimit = 1024; // print lengths and service counts stay below this
constexpr qsizetype kPasswordLimit = 254;
constexpr qint32 kReplaceDefaultAnswer = 100;

// Module state. Allocated once and never destroyed, so archives destroyed late in the program's
// exit still find it.
struct ModuleState {
    QStringList folders;
    bool foldersSet = false;
    void* library = nullptr;
    Wiz_SingleEntryUnzip_t unzipEntry = nullptr;
    UzpVersion2_t versionEntry = nullptr;
    Vbz_UpdateBegin_t beginEntry = nullptr;
    Vbz_UpdateStage_t stageEntry = nullptr;
    Vbz_UpdateProgress_t progressEntry = nullptr;
    Vbz_UpdateCommit_t commitEntry = nullptr;
    Vbz_UpdateDiscard_t discardEntry = nullptr;
    Vbz_UpdateRecover_t recoverEntry = nullptr;

    std::shared_ptr<ArchiveCallbacks> current;
    bool currentUncounted = false; // current points to an archive no shared_ptr owns
    bool passwordAbandoned = false;
};

ModuleState& State() {
    static ModuleState* state = new ModuleState;
    return *state;
}

QStringList DefaultFolders() {
    const QString programFolder =
        QCoreApplication::instance()
            ? QCoreApplication::applicationDirPath()
            : QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath()).path();
    return {programFolder, QDir::homePath() + QStringLiteral("/.local/lib")};
}

void* LoadEngine() {
    ModuleState& s = State();
    if (s.library)
        return s.library;
    const QString fileName = QStringLiteral(UZ_LIBRARY_NAME);
    const QStringList folders = s.foldersSet ? s.folders : DefaultFolders();
    for (const QString& folder : folders) {
        if (folder.isEmpty())
            continue;
        const QString path = folder + QLatin1Char('/') + fileName;
        if (!QFileInfo(path).isFile())
            continue;
        void* library = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            const char* reason = dlerror();
            throw AppError(AppError::DllNotFound,
                           QStringLiteral("Error in loading DLL %1: %2")
                               .arg(fileName, QString::fromLocal8Bit(reason ? reason : "")));
        }
        s.library = library;
        return library;
    }
    throw AppError(AppError::DllNotFound, QStringLiteral("File not found: ") + fileName);
}

template <typename Function> Function EntryPoint(Function& cache, const char* name) {
    if (!cache) {
        void* library = LoadEngine();
        void* symbol = dlsym(library, name);
        if (!symbol)
            throw AppError(AppError::EntryPointNotFound,
                           QStringLiteral("Can't find DLL entry point %1 in %2")
                               .arg(QLatin1String(name), QStringLiteral(UZ_LIBRARY_NAME)));
        cache = reinterpret_cast<Function>(symbol);
    }
    return cache;
}

// Narrow copies of the texts of one engine call, freed when the call ends.
class NarrowTexts {
public:
    // A null text gives a null pointer, any other one a NUL-terminated copy in the locale's
    // encoding.
    char* Keep(const QString& text) {
        if (text.isNull())
            return nullptr;
        const QByteArray bytes = text.toLocal8Bit();
        auto copy = std::make_unique<char[]>(static_cast<size_t>(bytes.size()) + 1);
        std::memcpy(copy.get(), bytes.constData(), static_cast<size_t>(bytes.size()));
        copy[static_cast<size_t>(bytes.size())] = '\0';
        m_texts.push_back(std::move(copy));
        return m_texts.back().get();
    }

private:
    std::vector<std::unique_ptr<char[]>> m_texts;
};

[[noreturn]] void ThrowSubscriptOutOfRange() {
    throw AppError(AppError::SubscriptOutOfRange, QStringLiteral("Subscript out of range"));
}

// Slots 0 to count - 1 take the names, slot count the empty text; the slots above stay null.
void FillNameList(UnzipNameList& list, qint32 count, const QStringList& names, NarrowTexts& texts) {
    if (count < 0 || count > kMaxListNames || count > names.size())
        ThrowSubscriptOutOfRange();
    const QString empty(QLatin1String(""));
    for (qint32 i = 0; i < count; ++i) {
        // A null name still crosses as a text: the engine reads count names.
        const QString& name = names.at(i);
        list.Names[i] = texts.Keep(name.isNull() ? empty : name);
    }
    list.Names[count] = texts.Keep(empty);
}

UnzipOptions ToNarrow(const UnzipOptionsW& o, NarrowTexts& texts) {
    UnzipOptions n = o.Numbers;
    n.ArchivePath = texts.Keep(o.ArchivePath);
    n.ExtractFolder = texts.Keep(o.ExtractFolder);
    return n;
}

QString ReadBackText(const char* text) {
    return text ? QString::fromLocal8Bit(text, static_cast<qsizetype>(std::strlen(text)))
                : QString();
}

void FromNarrow(const UnzipOptions& n, UnzipOptionsW& o) {
    o.Numbers = n;
    o.Numbers.ArchivePath = o.Numbers.ExtractFolder = nullptr;
    o.ArchivePath = ReadBackText(n.ArchivePath);
    o.ExtractFolder = ReadBackText(n.ExtractFolder);
}

void SetCurrentArchive(ArchiveCallbacks& archive) {
    ModuleState& s = State();
    std::shared_ptr<ArchiveCallbacks> reference = archive.weak_from_this().lock();
    const bool uncounted = !reference;
    if (uncounted)
        reference =
            std::shared_ptr<ArchiveCallbacks>(std::shared_ptr<ArchiveCallbacks>(), &archive);
    // The previous archive may go with its last reference; let it go once the state is settled.
    std::shared_ptr<ArchiveCallbacks> previous = std::exchange(s.current, std::move(reference));
    s.currentUncounted = uncounted;
    previous.reset();
}

// One step of a callback: its failure is dropped and the callback goes on.
template <typename Step> void RunStep(Step&& step) noexcept {
    try {
        step();
    } catch (...) {
    }
}

qint32 Low16(int32_t value) {
    return static_cast<int16_t>(static_cast<uint32_t>(value) & 0xFFFFu);
}

// --- Callbacks of the engine -------------------------------------------------------------------

int32_t UZ_CALL PrintCallback(char* text, uint32_t length) noexcept {
    if (!text || length <= 1 || length >= kMessageLimit)
        return 0;
    QString message;
    RunStep([&] {
        // All bytes and one NUL after them; the message is not cut at an inner NUL.
        QByteArray bytes(text, static_cast<qsizetype>(length));
        bytes.append('\0');
        message = QString::fromLocal8Bit(bytes);
    });
    RunStep([&] { ReplaceSeparators(message, QLatin1Char('/'), QChar(kFolderSeparator)); });
    RunStep([&] {
        if (std::shared_ptr<ArchiveCallbacks> archive = State().current)
            archive->RaiseProgress(message);
    });
    return 0;
}

int32_t UZ_CALL ReplaceCallback(char* fileName) noexcept {
    QString name;
    qint32 answer = 0;
    RunStep([&] {
        name = ReadEngineText(fileName, kReplaceNameLimit);
        ReplaceSeparators(name, QLatin1Char('/'), QChar(kFolderSeparator));
    });
    RunStep([&] {
        answer = kReplaceDefaultAnswer;
        if (std::shared_ptr<ArchiveCallbacks> archive = State().current)
            archive->RaiseOverwritePrompt(name, answer);
    });
    return answer;
}

int32_t UZ_CALL PasswordCallback(char* buffer, int32_t size, char* /*prompt*/,
                                 char* /*entryName*/) noexcept {
    ModuleState& s = State();
    if (s.passwordAbandoned)
        return 1;
    int32_t result = 1;
    QString password;
    bool cancel = false;
    RunStep([&] {
        if (std::shared_ptr<ArchiveCallbacks> archive = s.current)
            archive->RaisePasswordRequest(password, cancel);
    });
    RunStep([&] { password = TrimSpaces(password); });
    if (password.isEmpty() || cancel) {
        s.passwordAbandoned = true;
        return 1;
    }
    RunStep([&] {
        // At most 254 bytes, and never more than the buffer holds with a NUL after them.
        const QByteArray bytes = password.toLocal8Bit();
        const qsizetype room = buffer && size > 1 ? static_cast<qsizetype>(size) - 1 : 0;
        const qsizetype count = std::min({bytes.size(), kPasswordLimit, room});
        if (count <= 0)
            return;
        std::memcpy(buffer, bytes.constData(), static_cast<size_t>(count));
        buffer[count] = '\0';
        result = 0;
    });
    return result;
}

void UZ_CALL ListCallback(uint32_t /*compressedSize*/, uint32_t size, int32_t ratio, int32_t month,
                          int32_t day, int32_t year, int32_t hour, int32_t minute,
                          uint8_t /*reserved*/, char* name, char* method, uint32_t crc,
                          uint8_t flags) noexcept {
    EntryPath path;
    double date = 0;
    QString methodName;
    RunStep([&] { path = SplitEntryPath(ReadEngineText(name, kListTextLimit)); });
    RunStep([&] {
        date = DateSerial(Low16(year), Low16(month), Low16(day)) +
               TimeSerial(Low16(hour), Low16(minute), 0);
    });
    RunStep([&] { methodName = ReadEngineText(method, kListTextLimit); });
    const bool encrypted = (flags & UZ_LIST_ENCRYPTED) != 0;
    RunStep([&] {
        if (std::shared_ptr<ArchiveCallbacks> archive = State().current)
            archive->AddDirectoryEntry(path.sFileName, path.sFolder, date,
                                       static_cast<qint32>(size), static_cast<qint32>(crc),
                                       encrypted, Low16(ratio), methodName);
    });
}

int32_t UZ_CALL ServiceCallback(char* entryName, uint32_t count) noexcept {
    if (count <= 1 || count >= kMessageLimit)
        return 0;
    QString name;
    bool cancel = false;
    RunStep([&] {
        name = ReadEngineText(entryName, static_cast<qsizetype>(count));
        ReplaceSeparators(name, QLatin1Char('\\'), QLatin1Char('/'));
    });
    RunStep([&] {
        if (std::shared_ptr<ArchiveCallbacks> archive = State().current)
            archive->RaiseCancel(name, cancel);
    });
    return cancel ? 1 : 0;
}

int32_t UZ_CALL ProgressCallback(uint64_t bytesWritten) noexcept {
    bool cancel = false;
    RunStep([&] {
        if (std::shared_ptr<ArchiveCallbacks> archive = State().current)
            archive->RaiseStaging(static_cast<qint64>(bytesWritten), cancel);
    });
    return cancel ? 1 : 0;
}

} // namespace

void SetEngineFolders(const QStringList& folders) {
    ModuleState& s = State();
    s.folders = folders;
    s.foldersSet = true;
}

namespace {

// The callback table of every engine call.
UnzipCallbacks Callbacks() {
    UnzipCallbacks callbacks{};
    callbacks.Print = &PrintCallback;
    callbacks.Sound = nullptr;
    callbacks.Replace = &ReplaceCallback;
    callbacks.Password = &PasswordCallback;
    callbacks.List = &ListCallback;
    callbacks.Service = &ServiceCallback;
    return callbacks;
}

// An extraction-like engine call: the name lists, the options and the callbacks are made here,
// call hands them to the entry point, and the options are read back afterwards.
template <typename Call>
qint32 RunEntry(ArchiveCallbacks& archive, UnzipOptionsW& options, qint32 includeCount,
                const QStringList& includeNames, qint32 excludeCount,
                const QStringList& excludeNames, Call&& call) {
    SetCurrentArchive(archive);
    UnzipCallbacks callbacks = Callbacks();
    NarrowTexts texts;
    auto include = std::make_unique<UnzipNameList>();
    auto exclude = std::make_unique<UnzipNameList>();
    FillNameList(*include, includeCount, includeNames, texts);
    FillNameList(*exclude, excludeCount, excludeNames, texts);

    State().passwordAbandoned = false;

    UnzipOptions narrow = ToNarrow(options, texts);
    const qint32 result =
        call(includeCount, include.get(), excludeCount, exclude.get(), &narrow, &callbacks);
    FromNarrow(narrow, options);
    return result;
}

} // namespace

qint32 RunEngine(ArchiveCallbacks& archive, UnzipOptionsW& options, qint32 includeCount,
                 const QStringList& includeNames, qint32 excludeCount,
                 const QStringList& excludeNames) {
    // The entry point is looked up once the lists are made: a list too long fails first.
    return RunEntry(archive, options, includeCount, includeNames, excludeCount, excludeNames,
                    [](auto... arguments) {
                        return EntryPoint(State().unzipEntry, "Wiz_SingleEntryUnzip")(arguments...);
                    });
}

qint32 RunStageEngine(UnzipUpdate* update, ArchiveCallbacks& archive, UnzipOptionsW& options,
                      qint32 includeCount, const QStringList& includeNames) {
    return RunEntry(archive, options, includeCount, includeNames, 0, QStringList(),
                    [update](auto... arguments) {
                        return EntryPoint(State().stageEntry, "Vbz_UpdateStage")(update,
                                                                                 arguments...);
                    });
}

qint32 BeginUpdate(const QString& sFolder, UnzipUpdate*& update) {
    const Vbz_UpdateBegin_t entry = EntryPoint(State().beginEntry, "Vbz_UpdateBegin");
    update = nullptr;
    const qint32 result = entry(QFile::encodeName(sFolder).constData(), &update);
    if (result == UZ_OK && update)
        EntryPoint(State().progressEntry, "Vbz_UpdateProgress")(update, &ProgressCallback);
    return result;
}

qint32 CommitUpdate(UnzipUpdate* update, ArchiveCallbacks& archive) {
    const Vbz_UpdateCommit_t entry = EntryPoint(State().commitEntry, "Vbz_UpdateCommit");
    SetCurrentArchive(archive);
    UnzipCallbacks callbacks = Callbacks();
    return entry(update, &callbacks);
}

qint32 DiscardUpdate(UnzipUpdate* update) {
    return EntryPoint(State().discardEntry, "Vbz_UpdateDiscard")(update);
}

bool InterruptedUpdatePresent(const QString& sFolder) {
    for (const char* name : {UZ_UPDATE_PLAN, UZ_UPDATE_JOURNAL, UZ_UPDATE_JOURNAL_NEW}) {
        if (QFileInfo::exists(sFolder + QLatin1Char('/') + QLatin1String(name)))
            return true;
    }
    return false;
}

qint32 RecoverUpdate(const QString& sFolder, ArchiveCallbacks& archive, qint32& lReport) {
    lReport = UZ_RECOVERED_NOTHING;
    if (!InterruptedUpdatePresent(sFolder))
        return UZ_OK;
    const Vbz_UpdateRecover_t entry = EntryPoint(State().recoverEntry, "Vbz_UpdateRecover");
    SetCurrentArchive(archive);
    UnzipCallbacks callbacks = Callbacks();
    int32_t report = UZ_RECOVERED_NOTHING;
    const qint32 result = entry(QFile::encodeName(sFolder).constData(), &report, &callbacks);
    lReport = report;
    return result;
}

void CallVersionEntry(UnzipVersionInfo& record) {
    const UzpVersion2_t entry = EntryPoint(State().versionEntry, "UzpVersion2");
    entry(&record);
}

std::shared_ptr<ArchiveCallbacks> CurrentArchive() {
    return State().current;
}

bool PasswordAbandoned() {
    return State().passwordAbandoned;
}

qint32 ReplaceSeparators(QString& sText, QChar cOld, QChar cNew) {
    qint32 position = 1;
    for (qsizetype i = 0; i < sText.size(); ++i) {
        if (sText.at(i) == cOld) {
            sText[i] = cNew;
            position = static_cast<qint32>(i) + 2;
        }
    }
    return position;
}

EntryPath SplitEntryPath(const QString& sName) {
    QString name = sName;
    const qsizetype nul = name.indexOf(QChar(0));
    if (nul >= 0)
        name.truncate(nul);
    const qint32 position = ReplaceSeparators(name, QLatin1Char('/'), QChar(kFolderSeparator));
    if (position == 1)
        return {QString(), name};
    return {name.left(position - 2), name.mid(position - 1)};
}

QString ReadEngineText(const char* text, qsizetype limit) {
    if (!text || limit <= 0)
        return QString(QLatin1String(""));
    qsizetype length = 0;
    while (length < limit && text[length] != '\0')
        ++length;
    return QString::fromLocal8Bit(text, length);
}

double DateSerial(qint32 lYear, qint32 lMonth, qint32 lDay) {
    using namespace std::chrono;
    qint64 y = lYear;
    if (y >= 0 && y <= 29)
        y += 2000;
    else if (y >= 30 && y <= 99)
        y += 1900;
    // Months since January of the year 0. The calendar repeats every 400 years (4,800 months,
    // 146,097 days): whole cycles are counted apart, so that any arguments stay within the range
    // of the calendar types.
    const qint64 months = y * 12 + (static_cast<qint64>(lMonth) - 1);
    const qint64 cycles = months / 4800 - (months % 4800 < 0 ? 1 : 0);
    const year_month firstMonth = year(0) / January + std::chrono::months(months - cycles * 4800);
    constexpr sys_days kDayZero = 1899y / December / 30;
    const qint64 serial = (sys_days(firstMonth / 1) - kDayZero).count() + cycles * 146097 +
                          (static_cast<qint64>(lDay) - 1);
    if (serial < (sys_days(100y / January / 1) - kDayZero).count() ||
        serial > (sys_days(9999y / December / 31) - kDayZero).count())
        throw AppError(AppError::InvalidArgument,
                       QStringLiteral("Invalid procedure call or argument"));
    return static_cast<double>(serial);
}

double TimeSerial(qint32 lHour, qint32 lMinute, qint32 lSecond) {
    const qint64 seconds = static_cast<qint64>(lHour) * 3600 + static_cast<qint64>(lMinute) * 60 +
                           static_cast<qint64>(lSecond);
    return static_cast<double>(seconds) / 86400.0;
}

double DateTimeFromParts(qint32 lYear, qint32 lMonth, qint32 lDay, qint32 lHour, qint32 lMinute,
                         qint32 lSecond) {
    return DateSerial(lYear, lMonth, lDay) + TimeSerial(lHour, lMinute, lSecond);
}

ArchiveCallbacks::~ArchiveCallbacks() {
    ModuleState& s = State();
    if (s.currentUncounted && s.current.get() == this) {
        s.current.reset();
        s.currentUncounted = false;
    }
}

} // namespace mUnzip

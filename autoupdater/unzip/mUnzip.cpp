#include "unzip/mUnzip.h"

#include "SpaceTrim.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>

#include "AppError.h"
#include "core/Paths.h"
#include "core/Text.h"
#include "unzip/EngineLibrary.h"
#include "vbuzip10.h"

namespace mUnzip {

namespace {

// Read limits of the engine's texts.
constexpr std::ptrdiff_t kListTextLimit = 256;
constexpr std::ptrdiff_t kReplaceNameLimit = 32801;
constexpr uint32_t kMessageLimit = 1024; // print lengths and service counts stay below this
constexpr std::size_t kPasswordLimit = 254;
constexpr std::int32_t kReplaceDefaultAnswer = 100;

// Module state. Allocated once and never destroyed, so archives destroyed late in the program's
// exit still find it.
struct ModuleState {
    std::vector<std::string> folders;
    bool foldersSet = false;
    std::unique_ptr<EngineLibrary> library;
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

// Whether a file (or, with `anyKind`, anything) is at a path. A path the system cannot take (not
// UTF-8 text on Windows) has nothing there.
bool PathPresent(const std::string& path, bool anyKind) {
    try {
        std::error_code error;
        const std::filesystem::path fsPath = FsPath(path);
        return anyKind ? std::filesystem::exists(fsPath, error)
                       : std::filesystem::is_regular_file(fsPath, error);
    } catch (const std::exception&) {
        return false;
    }
}

EngineLibrary& LoadEngine() {
    ModuleState& s = State();
    if (s.library)
        return *s.library;
    const std::string fileName = UZ_LIBRARY_NAME;
    const std::vector<std::string> folders = s.foldersSet ? s.folders : DefaultEngineFolders();
    for (const std::string& folder : folders) {
        if (folder.empty())
            continue;
        // Always the full path in the folder: a bare name would be searched for by the system.
        const std::string path = folder + "/" + fileName;
        if (!PathPresent(path, false))
            continue;
        std::string reason;
        std::unique_ptr<EngineLibrary> library = EngineLibrary::Open(path, reason);
        if (!library)
            throw AppError(AppError::DllNotFound,
                           Format("Error in loading DLL %1: %2", {fileName, reason}));
        s.library = std::move(library);
        return *s.library;
    }
    throw AppError(AppError::DllNotFound, "File not found: " + fileName);
}

template <typename Function> Function EntryPoint(Function& cache, const char* name) {
    if (!cache) {
        const EngineLibrary::Entry entry = LoadEngine().Find(name);
        if (!entry)
            throw AppError(AppError::EntryPointNotFound,
                           Format("Can't find DLL entry point %1 in %2",
                                  {std::string(name), UZ_LIBRARY_NAME}));
        // The entry's own type, with the engine's calling convention.
        cache = reinterpret_cast<Function>(entry);
    }
    return cache;
}

// Narrow copies of the texts of one engine call, freed when the call ends.
class NarrowTexts {
public:
    // A NUL-terminated copy of the text.
    char* Keep(const std::string& text) {
        auto copy = std::make_unique<char[]>(text.size() + 1);
        std::memcpy(copy.get(), text.data(), text.size());
        copy[text.size()] = '\0';
        m_texts.push_back(std::move(copy));
        return m_texts.back().get();
    }
    // A missing text gives a null pointer.
    char* Keep(const std::optional<std::string>& text) { return text ? Keep(*text) : nullptr; }

private:
    std::vector<std::unique_ptr<char[]>> m_texts;
};

[[noreturn]] void ThrowSubscriptOutOfRange() {
    throw AppError(AppError::SubscriptOutOfRange, "Subscript out of range");
}

// Slots 0 to count - 1 take the names, slot count the empty text; the slots above stay null.
void FillNameList(UnzipNameList& list, std::int32_t count, const std::vector<std::string>& names,
                  NarrowTexts& texts) {
    if (count < 0 || count > kMaxListNames || static_cast<std::size_t>(count) > names.size())
        ThrowSubscriptOutOfRange();
    // Every name crosses as a text, an empty one too: the engine reads count names.
    for (std::int32_t i = 0; i < count; ++i)
        list.Names[i] = texts.Keep(names[static_cast<std::size_t>(i)]);
    list.Names[count] = texts.Keep(std::string());
}

UnzipOptions ToNarrow(const UnzipOptionsW& o, NarrowTexts& texts) {
    UnzipOptions n = o.Numbers;
    n.ArchivePath = texts.Keep(o.ArchivePath);
    n.ExtractFolder = texts.Keep(o.ExtractFolder);
    return n;
}

std::optional<std::string> ReadBackText(const char* text) {
    return text ? std::optional<std::string>(ValidUtf8(text)) : std::nullopt;
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

std::int32_t Low16(int32_t value) {
    return static_cast<int16_t>(static_cast<uint32_t>(value) & 0xFFFFu);
}

// --- Callbacks of the engine -------------------------------------------------------------------

int32_t UZ_CALL PrintCallback(char* text, uint32_t length) noexcept {
    if (!text || length <= 1 || length >= kMessageLimit)
        return 0;
    std::string message;
    RunStep([&] {
        // All bytes and one NUL after them; the message is not cut at an inner NUL.
        message.assign(text, length);
        message.push_back('\0');
        message = ValidUtf8(message);
    });
    RunStep([&] { ReplaceSeparators(message, '/', kFolderSeparator); });
    RunStep([&] {
        if (std::shared_ptr<ArchiveCallbacks> archive = State().current)
            archive->RaiseProgress(message);
    });
    return 0;
}

int32_t UZ_CALL ReplaceCallback(char* fileName) noexcept {
    std::string name;
    std::int32_t answer = 0;
    RunStep([&] {
        name = ReadEngineText(fileName, kReplaceNameLimit);
        ReplaceSeparators(name, '/', kFolderSeparator);
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
    std::string password;
    bool cancel = false;
    RunStep([&] {
        if (std::shared_ptr<ArchiveCallbacks> archive = s.current)
            archive->RaisePasswordRequest(password, cancel);
    });
    RunStep([&] { password = TrimSpaces(password); });
    if (password.empty() || cancel) {
        s.passwordAbandoned = true;
        return 1;
    }
    RunStep([&] {
        // At most 254 bytes, and never more than the buffer holds with a NUL after them.
        const std::size_t room = buffer && size > 1 ? static_cast<std::size_t>(size) - 1 : 0;
        const std::size_t count = std::min({password.size(), kPasswordLimit, room});
        if (count == 0)
            return;
        std::memcpy(buffer, password.data(), count);
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
    std::string methodName;
    RunStep([&] { path = SplitEntryPath(ReadEngineText(name, kListTextLimit)); });
    RunStep([&] {
        date = DateSerial(Low16(year), Low16(month), Low16(day)) +
               TimeSerial(Low16(hour), Low16(minute), 0);
    });
    RunStep([&] { methodName = ReadEngineText(method, kListTextLimit); });
    const bool encrypted = (flags & UZ_LIST_ENCRYPTED) != 0;
    RunStep([&] {
        if (std::shared_ptr<ArchiveCallbacks> archive = State().current)
            archive->AddDirectoryEntry(
                path.sFileName, path.sFolder, date, static_cast<std::int32_t>(size),
                static_cast<std::int32_t>(crc), encrypted, Low16(ratio), methodName);
    });
}

int32_t UZ_CALL ServiceCallback(char* entryName, uint32_t count) noexcept {
    if (count <= 1 || count >= kMessageLimit)
        return 0;
    std::string name;
    bool cancel = false;
    RunStep([&] {
        name = ReadEngineText(entryName, static_cast<std::ptrdiff_t>(count));
        ReplaceSeparators(name, '\\', '/');
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
            archive->RaiseStaging(static_cast<std::int64_t>(bytesWritten), cancel);
    });
    return cancel ? 1 : 0;
}

} // namespace

void SetEngineFolders(const std::vector<std::string>& folders) {
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
std::int32_t RunEntry(ArchiveCallbacks& archive, UnzipOptionsW& options, std::int32_t includeCount,
                      const std::vector<std::string>& includeNames, std::int32_t excludeCount,
                      const std::vector<std::string>& excludeNames, Call&& call) {
    SetCurrentArchive(archive);
    UnzipCallbacks callbacks = Callbacks();
    NarrowTexts texts;
    auto include = std::make_unique<UnzipNameList>();
    auto exclude = std::make_unique<UnzipNameList>();
    FillNameList(*include, includeCount, includeNames, texts);
    FillNameList(*exclude, excludeCount, excludeNames, texts);

    State().passwordAbandoned = false;

    UnzipOptions narrow = ToNarrow(options, texts);
    const std::int32_t result =
        call(includeCount, include.get(), excludeCount, exclude.get(), &narrow, &callbacks);
    FromNarrow(narrow, options);
    return result;
}

} // namespace

std::int32_t RunEngine(ArchiveCallbacks& archive, UnzipOptionsW& options, std::int32_t includeCount,
                       const std::vector<std::string>& includeNames, std::int32_t excludeCount,
                       const std::vector<std::string>& excludeNames) {
    // The entry point is looked up once the lists are made: a list too long fails first.
    return RunEntry(archive, options, includeCount, includeNames, excludeCount, excludeNames,
                    [](auto... arguments) {
                        return EntryPoint(State().unzipEntry, "Wiz_SingleEntryUnzip")(arguments...);
                    });
}

std::int32_t RunStageEngine(UnzipUpdate* update, ArchiveCallbacks& archive, UnzipOptionsW& options,
                            std::int32_t includeCount,
                            const std::vector<std::string>& includeNames) {
    return RunEntry(
        archive, options, includeCount, includeNames, 0, {}, [update](auto... arguments) {
            return EntryPoint(State().stageEntry, "Vbz_UpdateStage")(update, arguments...);
        });
}

std::int32_t BeginUpdate(const std::string& sFolder, UnzipUpdate*& update) {
    const Vbz_UpdateBegin_t entry = EntryPoint(State().beginEntry, "Vbz_UpdateBegin");
    update = nullptr;
    const std::int32_t result = entry(sFolder.c_str(), &update);
    if (result == UZ_OK && update)
        EntryPoint(State().progressEntry, "Vbz_UpdateProgress")(update, &ProgressCallback);
    return result;
}

std::int32_t CommitUpdate(UnzipUpdate* update, ArchiveCallbacks& archive) {
    const Vbz_UpdateCommit_t entry = EntryPoint(State().commitEntry, "Vbz_UpdateCommit");
    SetCurrentArchive(archive);
    UnzipCallbacks callbacks = Callbacks();
    return entry(update, &callbacks);
}

std::int32_t DiscardUpdate(UnzipUpdate* update) {
    return EntryPoint(State().discardEntry, "Vbz_UpdateDiscard")(update);
}

bool InterruptedUpdatePresent(const std::string& sFolder) {
    for (const char* name : {UZ_UPDATE_PLAN, UZ_UPDATE_JOURNAL, UZ_UPDATE_JOURNAL_NEW}) {
        if (PathPresent(sFolder + "/" + name, true))
            return true;
    }
    return false;
}

std::int32_t RecoverUpdate(const std::string& sFolder, ArchiveCallbacks& archive,
                           std::int32_t& lReport) {
    lReport = UZ_RECOVERED_NOTHING;
    if (!InterruptedUpdatePresent(sFolder))
        return UZ_OK;
    const Vbz_UpdateRecover_t entry = EntryPoint(State().recoverEntry, "Vbz_UpdateRecover");
    SetCurrentArchive(archive);
    UnzipCallbacks callbacks = Callbacks();
    int32_t report = UZ_RECOVERED_NOTHING;
    const std::int32_t result = entry(sFolder.c_str(), &report, &callbacks);
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

std::int32_t ReplaceSeparators(std::string& sText, char cOld, char cNew) {
    std::int32_t position = 1;
    for (std::size_t i = 0; i < sText.size(); ++i) {
        if (sText[i] == cOld) {
            sText[i] = cNew;
            position = static_cast<std::int32_t>(i) + 2;
        }
    }
    return position;
}

EntryPath SplitEntryPath(const std::string& sName) {
    std::string name = sName.substr(0, sName.find('\0'));
    const std::int32_t position = ReplaceSeparators(name, '/', kFolderSeparator);
    if (position == 1)
        return {std::string(), name};
    const auto cut = static_cast<std::size_t>(position);
    return {name.substr(0, cut - 2), name.substr(cut - 1)};
}

std::string ReadEngineText(const char* text, std::ptrdiff_t limit) {
    if (!text || limit <= 0)
        return std::string();
    std::ptrdiff_t length = 0;
    while (length < limit && text[length] != '\0')
        ++length;
    return ValidUtf8(std::string_view(text, static_cast<std::size_t>(length)));
}

double DateSerial(std::int32_t lYear, std::int32_t lMonth, std::int32_t lDay) {
    using namespace std::chrono;
    std::int64_t y = lYear;
    if (y >= 0 && y <= 29)
        y += 2000;
    else if (y >= 30 && y <= 99)
        y += 1900;
    // Months since January of the year 0. The calendar repeats every 400 years (4,800 months,
    // 146,097 days): whole cycles are counted apart, so that any arguments stay within the range
    // of the calendar types.
    const std::int64_t months = y * 12 + (static_cast<std::int64_t>(lMonth) - 1);
    const std::int64_t cycles = months / 4800 - (months % 4800 < 0 ? 1 : 0);
    const year_month firstMonth = year(0) / January + std::chrono::months(months - cycles * 4800);
    constexpr sys_days kDayZero = 1899y / December / 30;
    const std::int64_t serial = (sys_days(firstMonth / 1) - kDayZero).count() + cycles * 146097 +
                                (static_cast<std::int64_t>(lDay) - 1);
    if (serial < (sys_days(100y / January / 1) - kDayZero).count() ||
        serial > (sys_days(9999y / December / 31) - kDayZero).count())
        throw AppError(AppError::InvalidArgument, "Invalid procedure call or argument");
    return static_cast<double>(serial);
}

double TimeSerial(std::int32_t lHour, std::int32_t lMinute, std::int32_t lSecond) {
    const std::int64_t seconds = static_cast<std::int64_t>(lHour) * 3600 +
                                 static_cast<std::int64_t>(lMinute) * 60 +
                                 static_cast<std::int64_t>(lSecond);
    return static_cast<double>(seconds) / 86400.0;
}

double DateTimeFromParts(std::int32_t lYear, std::int32_t lMonth, std::int32_t lDay,
                         std::int32_t lHour, std::int32_t lMinute, std::int32_t lSecond) {
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

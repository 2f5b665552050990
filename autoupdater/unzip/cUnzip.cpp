#include "unzip/cUnzip.h"

#include <array>
#include <chrono>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "core/Text.h"

#include "AppError.h"
#include "vbuzip10.h"

namespace {

std::int32_t Flag(bool bState) {
    return bState ? 1 : 0;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The number that the decimal digits of `text` make, or nothing when it has anything else or is
// empty (or too long to be a part of a date).
std::optional<int> ReadNumber(std::string_view text) {
    if (text.empty() || text.size() > 4)
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (!IsDigit(c))
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// The date-time value of a calendar date (a year of 1 to 9999, or of -1 to -9999 for the years
// before year 1), or nothing when there is no such date.
std::optional<double> DateValue(std::optional<int> y, std::optional<int> m, std::optional<int> d) {
    using namespace std::chrono;
    if (!y || !m || !d || *y == 0)
        return std::nullopt;
    // Without a year 0: the year -1 is the one before the year 1.
    const year_month_day date{year(*y < 0 ? *y + 1 : *y), month(static_cast<unsigned>(*m)),
                              day(static_cast<unsigned>(*d))};
    if (!date.ok())
        return std::nullopt;
    constexpr sys_days kDayZero = 1899y / December / 30;
    return static_cast<double>((sys_days(date) - kDayZero).count());
}

// "2024-05-17": four, two and two digits with a punctuation character between them, then the end
// or anything but a digit.
std::optional<double> ParseIsoDate(std::string_view text) {
    // The punctuation characters of ASCII ("+", "$", "<" and the like are symbols, not these).
    const auto punctuation = [](char c) {
        return c != '\0' && std::strchr("!\"#%&'()*,-./:;?@[\\]_{}", c) != nullptr;
    };
    if (text.size() < 10 || !punctuation(text[4]) || !punctuation(text[7]) ||
        (text.size() > 10 && IsDigit(text[10])))
        return std::nullopt;
    return DateValue(ReadNumber(text.substr(0, 4)), ReadNumber(text.substr(5, 2)),
                     ReadNumber(text.substr(8, 2)));
}

// "17 May 2024": one or two digits, the month's English abbreviation (in any case), and four
// digits, with a "-" before them for a year before the year 1.
std::optional<double> ParseDayMonthYear(std::string_view text) {
    static constexpr std::array<std::string_view, 12> kMonths = {
        "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    const std::size_t first = text.find(' ');
    if (first == std::string_view::npos || first == 0 || first > 2 || text.size() < first + 9 ||
        text[first + 4] != ' ')
        return std::nullopt;
    std::string_view yearText = text.substr(first + 5);
    const bool before = yearText.front() == '-';
    if (before)
        yearText.remove_prefix(1);
    std::optional<int> year = yearText.size() == 4 ? ReadNumber(yearText) : std::nullopt;
    if (year && before)
        year = -*year;
    const std::string name = AsciiLower(text.substr(first + 1, 3));
    for (std::size_t m = 0; m < kMonths.size(); ++m) {
        if (name == kMonths[m])
            return DateValue(year, static_cast<int>(m) + 1, ReadNumber(text.substr(0, first)));
    }
    return std::nullopt;
}

// The engine's date text as a date-time value, or nothing when it does not read as a date.
std::optional<double> ParseEngineDate(std::string_view text) {
    const std::string_view white = " \t\n\v\f\r";
    const std::size_t begin = text.find_first_not_of(white);
    if (begin == std::string_view::npos)
        return std::nullopt;
    const std::string_view trimmed = text.substr(begin, text.find_last_not_of(white) - begin + 1);
    if (const std::optional<double> date = ParseIsoDate(trimmed))
        return date;
    return ParseDayMonthYear(trimmed);
}

} // namespace

cUnzip::cUnzip() = default;

cUnzip::~cUnzip() {
    try {
        DiscardUpdate();
    } catch (...) {
        // The engine could not be reached: the plan stays for the next run's recovery.
    }
}

bool cUnzip::ExtractOnlyNewer() const {
    return m_Options.Numbers.ExtractOnlyNewer != 0;
}
void cUnzip::setExtractOnlyNewer(bool bState) {
    m_Options.Numbers.ExtractOnlyNewer = Flag(bState);
}
bool cUnzip::SpaceToUnderScore() const {
    return m_Options.Numbers.SpaceToUnderscore != 0;
}
void cUnzip::setSpaceToUnderScore(bool bState) {
    m_Options.Numbers.SpaceToUnderscore = Flag(bState);
}
bool cUnzip::PromptToOverwrite() const {
    return m_Options.Numbers.PromptToOverwrite != 0;
}
void cUnzip::setPromptToOverwrite(bool bState) {
    m_Options.Numbers.PromptToOverwrite = Flag(bState);
}
std::int32_t cUnzip::MessageLevel() const {
    return m_Options.Numbers.MessageLevel;
}
void cUnzip::setMessageLevel(std::int32_t eLevel) {
    m_Options.Numbers.MessageLevel = eLevel;
}
bool cUnzip::TestZip() const {
    return m_Options.Numbers.TestOnly != 0;
}
void cUnzip::setTestZip(bool bState) {
    m_Options.Numbers.TestOnly = Flag(bState);
}
bool cUnzip::UseFolderNames() const {
    return m_Options.Numbers.UseFolderNames != 0;
}
void cUnzip::setUseFolderNames(bool bState) {
    m_Options.Numbers.UseFolderNames = Flag(bState);
}
bool cUnzip::OverwriteExisting() const {
    return m_Options.Numbers.OverwriteExisting != 0;
}
void cUnzip::setOverwriteExisting(bool bState) {
    m_Options.Numbers.OverwriteExisting = Flag(bState);
}
bool cUnzip::ConvertCRToCRLF() const {
    return m_Options.Numbers.ConvertLineEnds != 0;
}
void cUnzip::setConvertCRToCRLF(bool bState) {
    m_Options.Numbers.ConvertLineEnds = Flag(bState);
}
bool cUnzip::CaseSensitiveFileNames() const {
    return m_Options.Numbers.CaseSensitiveNames != 0;
}
void cUnzip::setCaseSensitiveFileNames(bool bState) {
    m_Options.Numbers.CaseSensitiveNames = Flag(bState);
}

std::int32_t cUnzip::FileCount() const {
    return m_lFileCount;
}

const ZipDirectoryEntry& cUnzip::EntryAt(std::int32_t lIndex) const {
    if (lIndex < 1 || lIndex > m_lFileCount)
        throw AppError(AppError::SubscriptOutOfRange, "Subscript out of range");
    return m_Entries[static_cast<std::size_t>(lIndex - 1)];
}

std::string cUnzip::Filename(std::int32_t lIndex) const {
    return EntryAt(lIndex).name;
}
std::string cUnzip::FileDirectory(std::int32_t lIndex) const {
    return EntryAt(lIndex).folder;
}
std::int32_t cUnzip::FileSize(std::int32_t lIndex) const {
    return EntryAt(lIndex).size;
}

std::int32_t cUnzip::FilePackedSize(std::int32_t lIndex) const {
    const ZipDirectoryEntry& entry = EntryAt(lIndex);
    const std::int64_t product = static_cast<std::int64_t>(entry.size) * entry.ratio;
    if (product < std::numeric_limits<std::int32_t>::min() ||
        product > std::numeric_limits<std::int32_t>::max())
        throw AppError(AppError::Overflow, "Overflow");
    return static_cast<std::int32_t>(product / 100);
}

std::int32_t cUnzip::FileCompressionRatio(std::int32_t lIndex) const {
    return EntryAt(lIndex).ratio;
}
double cUnzip::FileDate(std::int32_t lIndex) const {
    return EntryAt(lIndex).date;
}
std::int32_t cUnzip::FileCRC(std::int32_t lIndex) const {
    return EntryAt(lIndex).crc;
}
std::string cUnzip::FileCompressionMethod(std::int32_t lIndex) const {
    return EntryAt(lIndex).method;
}
bool cUnzip::FileEncrypted(std::int32_t lIndex) const {
    return EntryAt(lIndex).encrypted;
}
bool cUnzip::FileSelected(std::int32_t lIndex) const {
    return EntryAt(lIndex).selected;
}

void cUnzip::setFileSelected(std::int32_t lIndex, bool bState) {
    EntryAt(lIndex);
    m_Entries[static_cast<std::size_t>(lIndex - 1)].selected = bState;
}

std::int32_t cUnzip::Directory() {
    m_Options.ArchivePath = m_sZipFile;
    m_Options.ExtractFolder = std::string(); // an empty text, never a missing one
    m_Options.Numbers.ListOnly = 1;
    return mUnzip::RunEngine(*this, m_Options, 0, {}, 0, {});
}

std::vector<std::string> cUnzip::SelectedNames() const {
    std::vector<std::string> names;
    for (const ZipDirectoryEntry& entry : m_Entries) {
        if (entry.selected)
            names.push_back(BuildEntryPath(entry.folder, entry.name));
    }
    // Every entry selected (or nothing listed): no names, and the engine extracts everything, as
    // it also does when none is selected.
    if (names.size() == static_cast<std::size_t>(m_lFileCount))
        names.clear();
    return names;
}

bool cUnzip::Unzip() {
    if (ZipFile().empty())
        return false;
    const std::vector<std::string> names = SelectedNames();
    m_Options.ArchivePath = m_sZipFile;
    m_Options.ExtractFolder = m_sUnzipFolder;
    m_Options.Numbers.ListOnly = 0;
    const std::int32_t result =
        mUnzip::RunEngine(*this, m_Options, static_cast<std::int32_t>(names.size()), names, 0, {});
    return result != 0;
}

std::int32_t cUnzip::BeginUpdate() {
    if (m_update)
        return UZ_ERR_BUSY;
    return mUnzip::BeginUpdate(UnzipFolder(), m_update);
}

bool cUnzip::PrepareUpdate() {
    if (ZipFile().empty() || !m_update)
        return true;
    const std::vector<std::string> names = SelectedNames();
    m_Options.ArchivePath = m_sZipFile;
    m_Options.ExtractFolder = m_sUnzipFolder;
    m_Options.Numbers.ListOnly = 0;
    return mUnzip::RunStageEngine(m_update, *this, m_Options,
                                  static_cast<std::int32_t>(names.size()), names) != 0;
}

std::int32_t cUnzip::CommitUpdate() {
    if (!m_update)
        return UZ_ERR_PARAMETERS;
    return mUnzip::CommitUpdate(std::exchange(m_update, nullptr), *this);
}

void cUnzip::DiscardUpdate() {
    if (m_update)
        mUnzip::DiscardUpdate(std::exchange(m_update, nullptr));
}

std::int32_t cUnzip::RecoverUpdate(std::int32_t& lReport) {
    return mUnzip::RecoverUpdate(UnzipFolder(), *this, lReport);
}

void cUnzip::setUnzipFolder(const std::string& sFolder) {
    m_sUnzipFolder = sFolder;
}
std::string cUnzip::UnzipFolder() const {
    return m_sUnzipFolder.value_or(std::string());
}
std::string cUnzip::ZipFile() const {
    return m_sZipFile.value_or(std::string());
}

void cUnzip::setZipFile(const std::string& sFIle) {
    m_sZipFile = sFIle;
    m_lFileCount = 0;
    m_Entries.clear();
}

void cUnzip::GetVersion(std::int32_t& lMajor, std::int32_t& lMinor, std::int32_t& lRevision,
                        double& dDate, std::string& sExtraInfo) {
    UnzipVersionInfo info;
    std::memset(&info, 0, sizeof info);
    info.StructLength = sizeof info;
    std::memcpy(info.ExtraInfo, "         ", sizeof info.ExtraInfo);
    std::memcpy(info.Date, "                   ", sizeof info.Date);
    std::memcpy(info.Reserved, "         ", sizeof info.Reserved);
    mUnzip::CallVersionEntry(info);

    // Padded to 10 characters, counted in UTF-16 units (a character past U+FFFF counts twice);
    // ten bytes never make more.
    sExtraInfo = mUnzip::ReadEngineText(info.ExtraInfo, sizeof info.ExtraInfo);
    std::size_t units = 0;
    for (const char c : sExtraInfo) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80)
            units += byte >= 0xF0 ? 2 : 1;
    }
    if (units < 10)
        sExtraInfo.append(10 - units, ' ');
    lMajor = info.Version[0];
    lMinor = info.Version[1];
    lRevision = info.Version[2];
    if (const std::optional<double> date =
            ParseEngineDate(mUnzip::ReadEngineText(info.Date, sizeof info.Date)))
        dDate = *date;
}

void cUnzip::AddDirectoryEntry(const std::string& sName, const std::string& sFolder, double dDate,
                               std::int32_t lSize, std::int32_t lCRC, bool bEncrypted,
                               std::int32_t lRatio, const std::string& sMethod) {
    if (sName.empty())
        return;
    ZipDirectoryEntry entry;
    entry.name = sName;
    entry.folder = sFolder;
    entry.size = lSize;
    entry.ratio = lRatio;
    entry.method = sMethod;
    entry.date = dDate;
    entry.crc = lCRC;
    entry.encrypted = bEncrypted;
    entry.selected = true;
    m_Entries.push_back(std::move(entry));
    m_lFileCount = static_cast<std::int32_t>(m_Entries.size());
}

void cUnzip::RaiseOverwritePrompt(const std::string& sFile, std::int32_t& eResponse) {
    if (OverwritePrompt)
        OverwritePrompt(sFile, eResponse);
}

void cUnzip::RaiseProgress(const std::string& sMsg) {
    if (Progress)
        Progress(1, sMsg);
}

void cUnzip::RaiseCancel(const std::string& sMsg, bool& bCancel) {
    if (Cancel)
        Cancel(sMsg, bCancel);
}

void cUnzip::RaiseStaging(std::int64_t bytesWritten, bool& bCancel) {
    if (Staging)
        Staging(bytesWritten, bCancel);
}

void cUnzip::RaisePasswordRequest(std::string& sPassword, bool& bCancel) {
    if (PasswordRequest)
        PasswordRequest(sPassword, bCancel);
}

std::string cUnzip::BuildEntryPath(const std::string& sFolder, const std::string& sFileName) {
    if (sFolder.empty())
        return sFileName;
    std::string path = sFolder + "/" + sFileName;
    mUnzip::ReplaceSeparators(path, '\\', '/');
    return path;
}

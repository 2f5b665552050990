#include "unzip/cUnzip.h"

#include <utility>

#include <QDate>
#include <QLocale>
#include <cstring>
#include <limits>
#include <optional>

#include "AppError.h"
#include "vbuzip10.h"

namespace {

qint32 Flag(bool bState) {
    return bState ? 1 : 0;
}

// The engine's date text as a date-time value, or nothing when it does not read as a date.
std::optional<double> ParseEngineDate(const QString& text) {
    const QString trimmed = text.trimmed();
    QDate date = QDate::fromString(trimmed, Qt::ISODate);
    if (!date.isValid())
        date = QLocale::c().toDate(trimmed, QStringLiteral("d MMM yyyy"));
    if (!date.isValid())
        return std::nullopt;
    return static_cast<double>(date.toJulianDay() - QDate(1899, 12, 30).toJulianDay());
}

} // namespace

cUnzip::cUnzip(QObject* parent) : QObject(parent) {}

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
qint32 cUnzip::MessageLevel() const {
    return m_Options.Numbers.MessageLevel;
}
void cUnzip::setMessageLevel(qint32 eLevel) {
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

qint32 cUnzip::FileCount() const {
    return m_lFileCount;
}

const ZipDirectoryEntry& cUnzip::EntryAt(qint32 lIndex) const {
    if (lIndex < 1 || lIndex > m_lFileCount)
        throw AppError(AppError::SubscriptOutOfRange, QStringLiteral("Subscript out of range"));
    return m_Entries.at(lIndex - 1);
}

QString cUnzip::Filename(qint32 lIndex) const {
    return EntryAt(lIndex).name;
}
QString cUnzip::FileDirectory(qint32 lIndex) const {
    return EntryAt(lIndex).folder;
}
qint32 cUnzip::FileSize(qint32 lIndex) const {
    return EntryAt(lIndex).size;
}

qint32 cUnzip::FilePackedSize(qint32 lIndex) const {
    const ZipDirectoryEntry& entry = EntryAt(lIndex);
    const qint64 product = static_cast<qint64>(entry.size) * entry.ratio;
    if (product < std::numeric_limits<qint32>::min() ||
        product > std::numeric_limits<qint32>::max())
        throw AppError(AppError::Overflow, QStringLiteral("Overflow"));
    return static_cast<qint32>(product / 100);
}

qint32 cUnzip::FileCompressionRatio(qint32 lIndex) const {
    return EntryAt(lIndex).ratio;
}
double cUnzip::FileDate(qint32 lIndex) const {
    return EntryAt(lIndex).date;
}
qint32 cUnzip::FileCRC(qint32 lIndex) const {
    return EntryAt(lIndex).crc;
}
QString cUnzip::FileCompressionMethod(qint32 lIndex) const {
    return EntryAt(lIndex).method;
}
bool cUnzip::FileEncrypted(qint32 lIndex) const {
    return EntryAt(lIndex).encrypted;
}
bool cUnzip::FileSelected(qint32 lIndex) const {
    return EntryAt(lIndex).selected;
}

void cUnzip::setFileSelected(qint32 lIndex, bool bState) {
    EntryAt(lIndex);
    m_Entries[lIndex - 1].selected = bState;
}

qint32 cUnzip::Directory() {
    m_Options.ArchivePath = m_sZipFile;
    m_Options.ExtractFolder = QString(QChar(0));
    m_Options.Numbers.ListOnly = 1;
    return mUnzip::RunEngine(*this, m_Options, 0, QStringList(), 0, QStringList());
}

QStringList cUnzip::SelectedNames() const {
    QStringList names;
    for (const ZipDirectoryEntry& entry : std::as_const(m_Entries)) {
        if (entry.selected)
            names.append(BuildEntryPath(entry.folder, entry.name));
    }
    // Every entry selected (or nothing listed): no names, and the engine extracts everything, as
    // it also does when none is selected.
    if (names.size() == m_lFileCount)
        names.clear();
    return names;
}

bool cUnzip::Unzip() {
    if (m_sZipFile.isEmpty())
        return false;
    const QStringList names = SelectedNames();
    m_Options.ArchivePath = m_sZipFile;
    m_Options.ExtractFolder = m_sUnzipFolder;
    m_Options.Numbers.ListOnly = 0;
    const qint32 result = mUnzip::RunEngine(*this, m_Options, static_cast<qint32>(names.size()),
                                            names, 0, QStringList());
    return result != 0;
}

qint32 cUnzip::BeginUpdate() {
    if (m_update)
        return UZ_ERR_BUSY;
    return mUnzip::BeginUpdate(m_sUnzipFolder, m_update);
}

bool cUnzip::PrepareUpdate() {
    if (m_sZipFile.isEmpty() || !m_update)
        return true;
    const QStringList names = SelectedNames();
    m_Options.ArchivePath = m_sZipFile;
    m_Options.ExtractFolder = m_sUnzipFolder;
    m_Options.Numbers.ListOnly = 0;
    return mUnzip::RunStageEngine(m_update, *this, m_Options, static_cast<qint32>(names.size()),
                                  names) != 0;
}

qint32 cUnzip::CommitUpdate() {
    if (!m_update)
        return UZ_ERR_PARAMETERS;
    return mUnzip::CommitUpdate(std::exchange(m_update, nullptr), *this);
}

void cUnzip::DiscardUpdate() {
    if (m_update)
        mUnzip::DiscardUpdate(std::exchange(m_update, nullptr));
}

qint32 cUnzip::RecoverUpdate(qint32& lReport) {
    return mUnzip::RecoverUpdate(m_sUnzipFolder, *this, lReport);
}

void cUnzip::setUnzipFolder(const QString& sFolder) {
    m_sUnzipFolder = sFolder;
}
QString cUnzip::UnzipFolder() const {
    return m_sUnzipFolder;
}
QString cUnzip::ZipFile() const {
    return m_sZipFile;
}

void cUnzip::setZipFile(const QString& sFIle) {
    m_sZipFile = sFIle;
    m_lFileCount = 0;
    m_Entries.clear();
}

void cUnzip::GetVersion(qint32& lMajor, qint32& lMinor, qint32& lRevision, double& dDate,
                        QString& sExtraInfo) {
    UnzipVersionInfo info;
    std::memset(&info, 0, sizeof info);
    info.StructLength = sizeof info;
    std::memcpy(info.ExtraInfo, "         ", sizeof info.ExtraInfo);
    std::memcpy(info.Date, "                   ", sizeof info.Date);
    std::memcpy(info.Reserved, "         ", sizeof info.Reserved);
    mUnzip::CallVersionEntry(info);

    sExtraInfo = mUnzip::ReadEngineText(info.ExtraInfo, sizeof info.ExtraInfo)
                     .leftJustified(10, QLatin1Char(' '), true);
    lMajor = info.Version[0];
    lMinor = info.Version[1];
    lRevision = info.Version[2];
    if (const std::optional<double> date =
            ParseEngineDate(mUnzip::ReadEngineText(info.Date, sizeof info.Date)))
        dDate = *date;
}

void cUnzip::AddDirectoryEntry(const QString& sName, const QString& sFolder, double dDate,
                               qint32 lSize, qint32 lCRC, bool bEncrypted, qint32 lRatio,
                               const QString& sMethod) {
    if (sName.isEmpty())
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
    m_Entries.append(entry);
    m_lFileCount = static_cast<qint32>(m_Entries.size());
}

void cUnzip::RaiseOverwritePrompt(const QString& sFile, qint32& eResponse) {
    emit OverwritePrompt(sFile, eResponse);
}

void cUnzip::RaiseProgress(const QString& sMsg) {
    emit Progress(1, sMsg);
}

void cUnzip::RaiseCancel(const QString& sMsg, bool& bCancel) {
    emit Cancel(sMsg, bCancel);
}

void cUnzip::RaiseStaging(qint64 bytesWritten, bool& bCancel) {
    emit Staging(bytesWritten, bCancel);
}

void cUnzip::RaisePasswordRequest(QString& sPassword, bool& bCancel) {
    emit PasswordRequest(sPassword, bCancel);
}

QString cUnzip::BuildEntryPath(const QString& sFolder, const QString& sFileName) {
    if (sFolder.isEmpty())
        return sFileName;
    QString path = sFolder + QLatin1Char('/') + sFileName;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return path;
}

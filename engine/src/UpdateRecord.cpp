#include "UpdateRecord.h"

#include <charconv>

namespace vbuzip {

namespace {

constexpr const char* JournalMagic = "vbuzip-journal-1";
constexpr const char* JournalEnd = "end";

void put(std::string& out, const std::string& field) {
    out += field;
    out += '\0';
}

// Reads the fields of a record text one after another.
class Fields {
public:
    explicit Fields(const std::string& text) : m_text(text) {}
    bool atEnd() const { return m_pos >= m_text.size(); }
    std::optional<std::string> next() {
        const size_t end = m_text.find('\0', m_pos);
        if (end == std::string::npos)
            return std::nullopt;
        std::string field = m_text.substr(m_pos, end - m_pos);
        m_pos = end + 1;
        return field;
    }

private:
    const std::string& m_text;
    size_t m_pos = 0;
};

std::optional<uint64_t> number(const std::optional<std::string>& field) {
    uint64_t value = 0;
    if (!field || field->empty())
        return std::nullopt;
    const auto [end, error] = std::from_chars(field->data(), field->data() + field->size(), value);
    if (error != std::errc() || end != field->data() + field->size())
        return std::nullopt;
    return value;
}

} // namespace

std::string encodePlanRecord(const PlanRecord& record) {
    std::string out;
    put(out, record.isFolder ? "D" : "F");
    put(out, record.path);
    if (!record.isFolder)
        put(out, record.temp);
    return out;
}

std::vector<PlanRecord> decodePlan(const std::string& text) {
    std::vector<PlanRecord> records;
    Fields fields(text);
    while (!fields.atEnd()) {
        const std::optional<std::string> kind = fields.next();
        const std::optional<std::string> path = fields.next();
        if (!kind || !path || (*kind != "D" && *kind != "F"))
            break;
        PlanRecord record;
        record.isFolder = *kind == "D";
        record.path = *path;
        if (!record.isFolder) {
            const std::optional<std::string> temp = fields.next();
            if (!temp)
                break;
            record.temp = *temp;
        }
        records.push_back(std::move(record));
    }
    return records;
}

std::string encodeJournal(const Journal& journal) {
    std::string out;
    put(out, JournalMagic);
    put(out, std::to_string(journal.entries.size()));
    for (const JournalEntry& e : journal.entries) {
        put(out, e.path);
        put(out, e.staged);
        put(out, e.backup);
        put(out, std::to_string(e.inode));
        put(out, e.hadOld ? "1" : "0");
    }
    put(out, std::to_string(journal.createdFolders.size()));
    for (const std::string& folder : journal.createdFolders)
        put(out, folder);
    put(out, JournalEnd);
    return out;
}

std::optional<Journal> decodeJournal(const std::string& text) {
    Fields fields(text);
    if (fields.next() != JournalMagic)
        return std::nullopt;
    Journal journal;
    const std::optional<uint64_t> entries = number(fields.next());
    if (!entries)
        return std::nullopt;
    for (uint64_t i = 0; i < *entries; ++i) {
        JournalEntry e;
        const auto path = fields.next(), staged = fields.next(), backup = fields.next();
        const std::optional<uint64_t> inode = number(fields.next());
        const std::optional<std::string> hadOld = fields.next();
        if (!path || !staged || !backup || !inode || !hadOld)
            return std::nullopt;
        journal.entries.push_back({*path, *staged, *backup, *inode, *hadOld == "1"});
    }
    const std::optional<uint64_t> folders = number(fields.next());
    if (!folders)
        return std::nullopt;
    for (uint64_t i = 0; i < *folders; ++i) {
        std::optional<std::string> folder = fields.next();
        if (!folder)
            return std::nullopt;
        journal.createdFolders.push_back(std::move(*folder));
    }
    if (fields.next() != JournalEnd || !fields.atEnd())
        return std::nullopt;
    return journal;
}

} // namespace vbuzip

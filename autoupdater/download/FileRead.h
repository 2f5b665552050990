// One read of a read service under way, over one or more tries, as far as it is the same on every
// platform: the temporary file its bytes go to, what is known of the whole file, the judgement of
// each try's head, bytes and end, what a try that failed leaves for the next, and the counts of
// the completion. A platform's read derives from it and brings the source of its tries (a request,
// a local file), the loop they run on, and the few things only it can tell (the hooks below). Its
// parts, each in a file of its own:
// - FileRead.cpp: the tries, their bytes and their ends, and the counts of the completion;
// - FileReadResume.cpp: what is kept between tries and runs (the partial file, its record);
// - FileReadPackage.cpp: whether the body is a zip archive, when only one will do.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "download/AsyncReadService.h"
#include "download/DownloadFile.h"
#include "download/ResponseHead.h"
#include "download/RetryPolicy.h"

class FileRead {
public:
    FileRead(const std::string& address, const std::string& tag, int options);
    virtual ~FileRead() = default;
    FileRead(const FileRead&) = delete;
    FileRead& operator=(const FileRead&) = delete;

    // Makes the file the bytes go to in `folder`: the partial download of the same address when
    // there is one to go on with, else a new file. False when no file can be made (fileError()
    // tells why).
    virtual bool prepare(const std::string& folder) = 0;
    const std::string& fileError() const { return m_file.error(); }

    // Starts the first try.
    void begin() { startTry(); }

    const std::string& tag() const { return m_tag; }
    const LocalFailure& localFailure() const { return m_localFailure; }

    // Works out the counts the completion reports. After a success the file stays, complete, for
    // the receivers; after a failure what can be taken up later is kept, the rest deleted.
    void conclude(std::int64_t& bytesRead, std::int64_t& total, std::string& tempFile);

    // Removes the temporary file, unless the receivers moved it away.
    virtual void discardFile() { m_file.discard(); }

protected:
    // --- what only the platform can tell or do ---
    // Starts a try from the bytes held, at once or once `wait` is over.
    virtual void startTry() = 0;
    virtual void startTryAfter(std::chrono::milliseconds wait) = 0;
    // Hands the concluded read to its service, which tells the receivers and deletes the read.
    virtual void finish() = 0;
    // The validator of the bytes held (empty: none), and the one of bytes that come now.
    virtual std::string validator() const = 0;
    virtual void setValidator(const std::string& validator) = 0;
    // Why the temporary file could not take the bytes, for the diagnostic and the local failure.
    virtual std::string writeFailure() const = 0;
    // The type the server declared for the body, as it wrote it; empty for a local file.
    virtual std::string contentType() const = 0;
    // The address without the user's name and password.
    virtual std::string displayAddress() const = 0;
    // Removes the file at `path` (UTF-8), when there is one.
    virtual void removeFile(const std::string& path) const = 0;

    // --- the tries (FileRead.cpp) ---
    // Forgets the try before; the next one starts from the bytes held.
    void beginTry();
    // The judgement of the try's head, unless it is still pending.
    void takeHead(const HeadVerdict& head);
    HeldBytes held() const { return {m_rangeAsked, m_tryStart, m_total, validator()}; }
    // Keeps bytes of the body, unless the try has failed or they are not the file's; true when
    // they were kept.
    bool take(const char* data, std::int64_t size);
    void startOverHere();
    void startOver(const std::string& reason);
    void fail(const std::string& reason, bool mayPass = false);
    void failToWrite();
    // Once the try's source has ended: whether its body is whole and, for a package, a zip
    // archive.
    void judgeEnd();
    // Once the try's source is ended: the read starts over at once, tries again after the wait of
    // `policy` (what it holds is kept for that try), or is concluded and finished. A retry and a
    // failed read are told in a diagnostic.
    void afterTry(const RetryPolicy& policy);

    // --- what is kept between tries and runs (FileReadResume.cpp) ---
    // prepare(), with a new file made from `fileTemplate`; the abandoned files that match
    // `pattern`, but the partial file of another address, go.
    bool prepareIn(const std::string& folder, const std::string& pattern,
                   const std::string& fileTemplate);
    bool resumable() const;
    void keepForNextTry();
    void keepOrDiscard();
    void recordWhenDue();
    bool saveRecord(std::int64_t length = -1);

    // --- the package check (FileReadPackage.cpp) ---
    bool acceptStart(const char* data, std::int64_t size);
    void refuseBody();
    void checkEnd();

    std::string m_address;
    std::string m_tag;
    int m_options;
    DownloadFile m_file;
    std::string m_recordPath;

    // The whole file, over all tries.
    std::int64_t m_total = -1;        // its size; -1 while unknown
    std::int64_t m_mostHeld = 0;      // the most bytes of it the file held
    std::int64_t m_recorded = 0;      // bytes the record on disk vouches for
    std::int64_t m_handedAtCheck = 0; // bytes handed to the disk when the record was last due
    std::optional<std::chrono::steady_clock::time_point> m_lastRecord;
    int m_try = 0;
    int m_startOvers = 0;
    bool m_refusedBody = false;
    std::string m_head; // the first bytes of the body
    LocalFailure m_localFailure;
    bool m_concluded = false;

    // The try under way.
    std::int64_t m_tryStart = 0; // bytes held when it began
    std::int64_t m_bodyEnd = -1; // file size at the end of its body; -1 while unknown
    bool m_rangeAsked = false;
    bool m_headChecked = false;
    bool m_failed = false;
    bool m_mayPass = false;
    bool m_startOver = false;
    std::string m_reason;
    std::optional<std::chrono::milliseconds> m_serverWait;
};

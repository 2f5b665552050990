// The asynchronous-read service of the Windows front-end, on WinHTTP: http, https (certificates
// always verified against the system's store) and file addresses, streamed into a temporary file.
// Reads go through the system's proxy; redirects are followed up to a limit and never from https
// to http. A transfer that fails in a way that may pass is tried again, and every try goes on from
// the bytes that arrived before, in this run or an earlier one, as long as the source shows they
// are still the same. WinHTTP works on threads of its own; everything a read does with what it
// reports happens on the thread of `loop` (through post()), where the notifications come too.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/EventLoop.h"
#include "download/FileReadService.h"

class WinHttpRead;
struct WinHttpSession;

class WinHttpReadService : public FileReadService {
public:
    // To be made, used and destroyed on the thread that runs `loop`, which must outlive it.
    explicit WinHttpReadService(EventLoop& loop);
    // Reads still under way are dropped without a notification; what they received is kept for
    // the next read of the same address when it can be taken up, and deleted otherwise. Returns
    // once WinHTTP has let go of every request, so that nothing of them is called afterwards.
    ~WinHttpReadService() override;

    // Where temporary files are created (UTF-8); the system's temporary folder unless set. Every
    // start first removes the temporary files there that no read holds any more, except the
    // partial downloads that may still be taken up (no older than a day).
    void setTempFolder(const std::string& folder) { m_tempFolder = folder; }
    std::string tempFolder() const;

private:
    friend class WinHttpRead;
    std::unique_ptr<FileRead> newRead(const std::string& address, const std::string& tag,
                                      int options) override;
    std::string clearedTempFolder() override;

    EventLoop& m_loop;
    std::shared_ptr<WinHttpSession> m_session;
    std::string m_tempFolder;
};

// The WinHTTP read service of the Windows front-end against the loopback server that
// loopback_server.py runs around the suite (found through VORN_TEST_HTTP), file addresses and bad
// addresses.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "AppError.h"
#include "DownloadTestSupport.h"
#include <vorn/Utf16_windows.h>

#include "TestFiles.h"
#include "TestLoop.h"
#include "Version.h"
#include "core/Diagnostics.h"
#include "download/WinHttpReadService_windows.h"

using namespace std::chrono_literals;

namespace {
// The bytes of a file that the service still holds open (shared as the receivers share it).
std::string readShared(const std::string& path) {
    HANDLE file = CreateFileW(WindowsPath(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

// The server's body bytes, from `offset` on (as loopback_server.py and the Qt fixture make them).
std::string pattern(std::int64_t offset, std::int64_t size) {
    std::string bytes(std::size_t(size), '\0');
    for (std::int64_t i = 0; i < size; ++i) {
        std::uint64_t v = std::uint64_t(offset + i);
        v ^= v >> 13;
        v *= 0x9E3779B97F4A7C15ull;
        bytes[std::size_t(i)] = char(v >> 56);
    }
    return bytes;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

struct Outcome {
    std::int64_t bytesRead = -1, total = -1;
    std::string tag, tempFile, content; // the temporary file's bytes while it was handed over
};

// A request as the server recorded it.
struct Request {
    std::string path, range, ifRange, userAgent, acceptEncoding, cacheControl;
};

class WinHttpReadServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (server.empty())
            GTEST_SKIP() << "no loopback server: run through loopback_server.py";
        service.setTempFolder(temp.path());
        service.setRetryPolicy(RetryPolicy::none());
        listen(service);
        s_warnings.clear();
        SetDiagnosticSink([](const std::string& text) { s_warnings.push_back(text); });
    }
    void TearDown() override { SetDiagnosticSink({}); }

    void listen(WinHttpReadService& reader) {
        reader.readProgress = [this](std::int64_t bytesRead, std::int64_t total,
                                     const std::string&) {
            progress.push_back({bytesRead, total});
        };
        reader.readComplete = [this](std::int64_t bytesRead, std::int64_t total,
                                     const std::string& tag, const std::string& tempFile) {
            outcomes.push_back({bytesRead, total, tag, tempFile,
                                tempFile.empty() ? std::string() : readShared(tempFile)});
        };
    }

    // One read to its end; unless `mayKeep`, nothing is left in the temporary folder.
    Outcome read(const std::string& address, int options = AsyncReadService::ForceUpdate,
                 bool mayKeep = false) {
        const std::size_t before = outcomes.size();
        service.start(address, AsyncReadService::DeliverToFile, "tag-1", options);
        EXPECT_TRUE(loop.runUntil([&] { return outcomes.size() > before; }));
        loop.processPending(); // a second notification would show here
        EXPECT_EQ(outcomes.size(), before + 1);
        EXPECT_EQ(service.activeReads(), 0);
        if (!mayKeep) {
            EXPECT_TRUE(entries(temp.path()).empty()) << "temporary file left behind";
        }
        return outcomes.empty() ? Outcome{} : outcomes.back();
    }

    std::vector<Request> requests(const std::string& path) const {
        std::vector<Request> found;
        std::ifstream log(environment("VORN_TEST_HTTP_LOG"));
        for (std::string line; std::getline(log, line);) {
            std::istringstream fields(line);
            Request request;
            std::getline(fields, request.path, '\t');
            std::getline(fields, request.range, '\t');
            std::getline(fields, request.ifRange, '\t');
            std::getline(fields, request.userAgent, '\t');
            std::getline(fields, request.acceptEncoding, '\t');
            std::getline(fields, request.cacheControl, '\t');
            if (request.path == path)
                found.push_back(request);
        }
        return found;
    }

    bool warned(const std::string& text) const {
        for (const std::string& line : s_warnings) {
            if (line.find(text) != std::string::npos)
                return true;
        }
        return false;
    }

    inline static std::vector<std::string> s_warnings;
    const std::string server = environment("VORN_TEST_HTTP");
    TestLoop loop;
    fixtures::TempDir temp;
    WinHttpReadService service{loop};
    std::vector<std::pair<std::int64_t, std::int64_t>> progress;
    std::vector<Outcome> outcomes;
};

void expectFailed(const Outcome& outcome) {
    EXPECT_TRUE(outcome.tempFile.empty());
    EXPECT_FALSE(outcome.bytesRead > 0 && outcome.bytesRead == outcome.total);
}

TEST_F(WinHttpReadServiceTest, WholeBodiesWithAndWithoutSizeAndThroughARedirect) {
    struct Case {
        const char* path;
        std::int64_t progressTotal;
    } cases[] = {{"/whole.zip", 300000}, {"/chunked.zip", 0}, {"/moved.zip", 300000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        progress.clear();
        const Outcome outcome = read(server + c.path);
        EXPECT_EQ(outcome.bytesRead, 300000);
        EXPECT_EQ(outcome.total, 300000);
        EXPECT_EQ(outcome.tag, "tag-1");
        EXPECT_TRUE(outcome.content == pattern(0, 300000));
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.back().first, 300000);
        for (std::size_t i = 0; i < progress.size(); ++i) {
            EXPECT_EQ(progress[i].second, c.progressTotal);
            if (i > 0) {
                EXPECT_GT(progress[i].first, progress[i - 1].first);
            }
        }
    }
    EXPECT_EQ(requests("/moved.zip").size(), 1u);
    const std::vector<Request> asked = requests("/whole.zip");
    ASSERT_EQ(asked.size(), 2u); // itself, and the redirect's target
    EXPECT_EQ(asked[0].userAgent, "vorn-updater/" VORN_UPDATER_VERSION);
    EXPECT_EQ(asked[0].acceptEncoding, "identity");
    EXPECT_EQ(asked[0].cacheControl, "no-cache");
    EXPECT_EQ(asked[0].range, "");
}

// The service's handle of the file would remove it under its new name on Windows (wine's follows
// no rename, so only Windows itself shows that fault).
TEST_F(WinHttpReadServiceTest, AFileTheReceiverMovesAwayStays) {
    fixtures::TempDir folder;
    const std::string kept = folder / "kept.zip";
    service.readComplete = [&](std::int64_t, std::int64_t, const std::string&,
                               const std::string& tempFile) {
        EXPECT_TRUE(MoveFileExW(WindowsPath(tempFile).c_str(), WindowsPath(kept).c_str(), 0));
        outcomes.push_back({});
    };
    read(server + "/whole.zip");
    EXPECT_TRUE(readShared(kept) == pattern(0, 300000));
}

TEST_F(WinHttpReadServiceTest, FailuresKeepNothing) {
    fixtures::TempDir folder;
    const int zipOnly = AsyncReadService::ForceUpdate | AsyncReadService::ZipArchiveOnly;
    struct Case {
        std::string address;
        int options;
        std::int64_t bytesRead;
        const char* said; // in the diagnostic
    } cases[] = {
        {server + "/gone.zip", 16, 0, "HTTP 404 Not Found"},
        {server + "/encoded.zip", 16, 0, "the server sent the body encoded (gzip)"},
        {server + "/loop.zip", 16, 0, "redirect"},
        {"http://127.0.0.1:" + environment("VORN_TEST_CLOSED_PORT") + "/pkg.zip", 16, 0,
         "Download of http://127.0.0.1:"},
        {"file:///" + folder / "missing.zip", 16, 0, "no such file"},
        {server + "/page.zip", zipOnly, 0,
         "bytes beginning \"<!DOCTYPE html><html>Down for maintenance</html>\" of type text/html"},
        {server + "/half.zip", zipOnly, 3000, "a zip archive without its end"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        s_warnings.clear();
        progress.clear();
        const Outcome outcome = read(c.address, c.options);
        expectFailed(outcome);
        EXPECT_EQ(outcome.bytesRead, c.bytesRead);
        if (c.bytesRead == 0) {
            EXPECT_TRUE(progress.empty());
        }
        EXPECT_TRUE(warned(c.said)) << (s_warnings.empty() ? "" : s_warnings.back());
    }
    // Redirects stop at the limit.
    EXPECT_LE(requests("/loop.zip").size(), std::size_t(service.maxRedirects() + 1));
    // What the zip-only reads take.
    EXPECT_EQ(read(server + "/archive.zip", zipOnly).bytesRead, 5026);
    // Nothing arrives for longer than the stall time-out.
    service.setStallTimeout(500ms);
    const Outcome stalled = read(server + "/stall.zip");
    expectFailed(stalled);
    EXPECT_EQ(stalled.bytesRead, 500);
    EXPECT_TRUE(warned("no data for 500 ms")) << (s_warnings.empty() ? "" : s_warnings.back());
}

TEST_F(WinHttpReadServiceTest, CutDownloadGoesOnFromTheBytesHeld) {
    const std::string address = server + "/cut.zip";
    // A read that ends cut keeps its bytes for the next read of the address.
    Outcome outcome = read(address, 16, true);
    expectFailed(outcome);
    EXPECT_EQ(outcome.bytesRead, 200000);
    EXPECT_EQ(outcome.total, 400000);
    EXPECT_EQ(entries(temp.path()).size(), 2u) << "the partial file and its record";
    progress.clear();
    outcome = read(address);
    EXPECT_TRUE(outcome.content == pattern(0, 400000));
    ASSERT_FALSE(progress.empty());
    EXPECT_GT(progress.front().first, 200000) << "did not go on from the bytes held";

    // Within one read, the retry asks for the rest.
    service.setRetryPolicy({1, 10ms, 1s});
    s_warnings.clear();
    outcome = read(address);
    EXPECT_TRUE(outcome.content == pattern(0, 400000));
    EXPECT_TRUE(warned("trying again"));

    const std::vector<Request> asked = requests("/cut.zip");
    ASSERT_EQ(asked.size(), 4u);
    for (const std::size_t n : {1u, 3u}) {
        EXPECT_EQ(asked[n].range, "bytes=200000-");
        EXPECT_EQ(asked[n].ifRange, "\"v1\"");
    }
}

TEST_F(WinHttpReadServiceTest, FileAddresses) {
    fixtures::TempDir folder;
    const std::string body = pattern(7, 3 << 20); // more than one slice
    fixtures::writeFile(folder / "pkg.zip", body);
    const Outcome outcome = read("file:///" + folder / "pkg.zip");
    EXPECT_EQ(outcome.bytesRead, std::int64_t(body.size()));
    EXPECT_EQ(outcome.total, std::int64_t(body.size()));
    EXPECT_TRUE(outcome.content == body);
    EXPECT_TRUE(fixtures::exists(folder / "pkg.zip"));
}

TEST_F(WinHttpReadServiceTest, DestroyedMidReadOrInARetryWait) {
    struct Case {
        const char* path;
        RetryPolicy retries;
        std::size_t kept; // files left for the next read
    } cases[] = {{"/stall.zip", RetryPolicy::none(), 0}, {"/cut.zip", {3, 30s, 30s}, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        s_warnings.clear();
        auto dropped = std::make_unique<WinHttpReadService>(loop);
        dropped->setTempFolder(temp.path());
        dropped->setRetryPolicy(c.retries);
        bool completed = false;
        std::int64_t received = 0;
        dropped->readComplete = [&](std::int64_t, std::int64_t, const std::string&,
                                    const std::string&) { completed = true; };
        dropped->readProgress = [&](std::int64_t bytesRead, std::int64_t, const std::string&) {
            received = bytesRead;
        };
        dropped->start(server + c.path, 1, "Id", 16);
        ASSERT_TRUE(
            loop.runUntil([&] { return received > 0 && (c.kept == 0 || warned("again")); }));
        const auto dropping = std::chrono::steady_clock::now();
        dropped.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - dropping, 2s);
        loop.processPending();
        EXPECT_FALSE(completed);
        EXPECT_EQ(entries(temp.path()).size(), c.kept);
    }
    // What the dropped read kept is taken up.
    EXPECT_TRUE(read(server + "/cut.zip").content == pattern(0, 400000));
    EXPECT_EQ(requests("/cut.zip").back().range, "bytes=200000-");
}

TEST_F(WinHttpReadServiceTest, ReadsThatCannotStartThrow) {
    for (const char* address : {"ftp://127.0.0.1/pkg.zip", "pkg.zip", "", "http:///pkg.zip"}) {
        SCOPED_TRACE(address);
        EXPECT_THROW(service.start(address, 1, "Id", 16), AppError);
    }
    try {
        service.start(server + "/whole.zip", 2, "Id", 16);
        ADD_FAILURE() << "a delivery kind other than file was taken";
    } catch (const AppError& error) {
        EXPECT_EQ(error.number(), AppError::InvalidArgument);
    }
    service.setTempFolder(temp / "missing-folder");
    EXPECT_THROW(service.start(server + "/whole.zip", 1, "Id", 16), AppError);
    EXPECT_EQ(service.activeReads(), 0);
    loop.processPending();
    EXPECT_TRUE(outcomes.empty());
}
} // namespace

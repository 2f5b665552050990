// The update run after downloads that failed on this computer: the download's own line, then an
// ERROR line that names the cause, and nothing after it.
#include <gtest/gtest.h>

#include "RunFixture.h"
#include "TmpfsMount.h"

namespace {

// Reads end on a later turn of the event loop, as scripted: with a local failure, or whole (the
// body then lies in a temporary file of the service's own folder).
class LocalFailureService : public TestReadService {
public:
    struct Reply {
        std::int64_t bytesRead = 0, total = 0;
        LocalFailure local;
        std::string body; // a whole read when not empty
    };
    explicit LocalFailureService(EventLoop& loop) : m_loop(loop) {}

    std::map<std::string, Reply> replies; // by package name
    Lines requested;

    void start(const std::string& address, int, const std::string& tag, int) override {
        requested.push_back(address);
        const Reply reply = replies[address.substr(address.rfind('/') + 1)];
        m_loop.post([this, reply, tag] {
            std::string path;
            if (!reply.body.empty()) {
                path = m_temp / "read.part";
                fixtures::writeFile(path, reply.body);
            }
            setLastLocalFailure(reply.local);
            const std::int64_t size = std::int64_t(reply.body.size());
            notifyComplete(path.empty() ? reply.bytesRead : size, path.empty() ? reply.total : size,
                           tag, path);
            setLastLocalFailure({});
            if (!path.empty()) {
                std::error_code ignored;
                std::filesystem::remove(FsPath(path), ignored);
            }
        });
    }

private:
    EventLoop& m_loop;
    fixtures::TempDir m_temp;
};

struct FailingRun {
    TestLoop loop;
    FakeView view;
    ProgramFolder folder;
    LocalFailureService service{loop};
    int clientPolls = 0;
    std::unique_ptr<frmMain> window;

    Lines run(const std::string& packages) {
        folder.write("vbuzip10.dll", "engine");
        UpdaterEnvironment environment;
        environment.commandLine = "http://updates.test/v2/ " + packages + " 55";
        environment.programFolder = folder.program();
        environment.systemDir = folder.system();
        environment.readService = &service;
        environment.processRunning = [this](const std::string&, std::int32_t) {
            ++clientPolls;
            return false;
        };
        window = std::make_unique<frmMain>(std::move(environment), view, loop);
        window->terminateProcess = [] {};
        window->startClient = [](const std::string&) {};
        EXPECT_TRUE(loop.runUntil([this] { return window->finished(); }));
        std::string text = view.statusText;
        Lines lines;
        for (std::size_t start = 0; start < text.size();) {
            const std::size_t end = text.find("\r\n", start);
            lines.push_back(text.substr(start, end - start));
            start = end + 2;
        }
        return lines;
    }
};

const Lines kFirstLines{"Preparing to update...", "Downloading file a.zip..."};

} // namespace

TEST(LocalDownloadFailure, TheCauseFollowsTheDownloadLineAndEndsTheRun) {
    struct Case {
        const char* what;
        LocalFailureService::Reply reply;
        Lines lines;
    } cases[] = {
        {"disk full part of the way",
         {4096, 10000, {ENOSPC, "cannot write the temporary file: No space left on device"}, {}},
         {"Connection lost", "ERROR: Not enough disk space to download 'a.zip'."}},
        {"quota exceeded before the first byte",
         {0, 10000, {EDQUOT, "cannot write the temporary file: Disk quota exceeded"}, {}},
         {"Couldn't connect", "ERROR: Not enough disk space to download 'a.zip'."}},
        {"another write failure",
         {4096, 0, {EIO, "cannot write the temporary file: Input/output error"}, {}},
         {"Connection lost",
          "ERROR: Unable to save 'a.zip': cannot write the temporary file: Input/output error"}},
        {"a failure at the source only", {4096, 10000, {}, {}}, {"Connection lost"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FailingRun run;
        run.service.replies["a.zip"] = c.reply;
        run.service.replies["b.zip"] = {0, 0, {}, "package b"};
        EXPECT_EQ(run.run("a.zip b.zip"), kFirstLines + c.lines);
        EXPECT_EQ(run.service.requested.size(), 1u) << "no download after the failure";
        EXPECT_EQ(run.clientPolls, 0);
        EXPECT_FALSE(run.view.progressShown);
    }
}

TEST(LocalDownloadFailure, PackageThatCannotBeSavedLeavesTheOlderOneUnused) {
    // The whole package arrived, but the program folder has no room for it; updates/ holds an
    // older package of the same name, which must not be taken for the new one.
    FailingRun run;
    TmpfsMount disk(run.folder.program(), "size=64k");
    if (!disk.mounted())
        GTEST_SKIP() << disk.error();
    run.folder.write("updates/a.zip", "older package");
    run.service.replies["a.zip"] = {0, 0, {}, std::string(200000, 'p')};
    const Lines expected = kFirstLines + Lines{"Download completed.",
                                               "ERROR: Not enough disk space to download 'a.zip'."};
    EXPECT_EQ(run.run("a.zip"), expected);
    EXPECT_EQ(run.folder.read("updates/a.zip"), "older package");
    EXPECT_EQ(run.clientPolls, 0) << "the run went on to the extraction";
}

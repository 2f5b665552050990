// Shared pieces of the update-run tests: a temporary program folder, a scripted read service, a
// fake window and a test event loop, and helpers to run the loop until the run has ended.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AppError.h"
#include "FakeView.h"
#include "TestFiles.h"
#include "TestLoop.h"
#include "ZipFixtures.h"
#include "core/Paths.h"
#include "core/Text.h"
#include "download/AsyncReadService.h"
#include "driver/frmMain.h"

using Lines = std::vector<std::string>;

// The lines from `first` on, `count` of them (all that are left by default).
inline Lines Slice(const Lines& lines, std::size_t first, std::size_t count = std::string::npos) {
    const std::size_t end =
        std::min(lines.size(), count == std::string::npos ? lines.size() : first + count);
    return first >= end ? Lines{} : Lines(lines.begin() + first, lines.begin() + end);
}
inline Lines operator+(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A read service of a test: it tells its listener, when there is one.
class TestReadService : public AsyncReadService {
protected:
    void notifyProgress(std::int64_t bytesRead, std::int64_t total, const std::string& tag) {
        if (readProgress)
            readProgress(bytesRead, total, tag);
    }
    void notifyComplete(std::int64_t bytesRead, std::int64_t total, const std::string& tag,
                        const std::string& tempFile) {
        if (readComplete)
            readComplete(bytesRead, total, tag, tempFile);
    }
};

// A read service whose reads end as scripted: a body of bytes that all arrive, a body that stops
// early, or nothing at all. Every read ends on a later turn of the event loop, as a real one does.
class ScriptedReadService : public TestReadService {
public:
    struct Reply {
        std::string body;
        std::int64_t announced = -1; // the total reported; -1: the body's size
        bool connects = true;
        std::function<bool()> ready; // when set, the read ends once it answers true
        int progressSteps = 1;       // progress notices, in one burst, before the end
    };

    explicit ScriptedReadService(EventLoop& loop) : m_loop(loop) {}

    std::map<std::string, Reply> replies; // by address; an unknown address does not connect
    Lines requested;
    bool failToStart = false;
    std::function<void()> afterReadComplete; // called after each read's end was delivered

    void start(const std::string& address, int, const std::string& tag, int) override {
        if (failToStart)
            throw AppError(AppError::ReadNotStarted, "the read cannot start");
        requested.push_back(address);
        const auto found = replies.find(address);
        const Reply reply = found == replies.end() ? Reply{{}, 0, false, {}, 1} : found->second;
        m_loop.post([this, reply, tag] { finishWhenReady(reply, tag); });
    }

private:
    void finishWhenReady(const Reply& reply, const std::string& tag) {
        if (!reply.ready || reply.ready())
            return finish(reply, tag);
        m_pending.push_back(m_loop.startTimer(std::chrono::milliseconds(5), false,
                                              [this, reply, tag] { finishWhenReady(reply, tag); }));
    }

    void finish(const Reply& reply, const std::string& tag) {
        const std::int64_t size = std::int64_t(reply.body.size());
        const std::int64_t total = reply.announced < 0 ? size : reply.announced;
        if (!reply.connects) {
            notifyComplete(0, 0, tag, {});
            return;
        }
        for (int step = 1; step <= reply.progressSteps; ++step)
            notifyProgress(size * step / reply.progressSteps, total, tag);
        std::string path;
        if (size == total) {
            path = m_temp / ("read-" + std::to_string(++m_count));
            fixtures::writeFile(path, reply.body);
        }
        notifyComplete(size, total, tag, path);
        if (afterReadComplete)
            afterReadComplete();
        if (!path.empty()) {
            std::error_code ignored;
            std::filesystem::remove(FsPath(path), ignored);
        }
    }

    EventLoop& m_loop;
    fixtures::TempDir m_temp;
    std::vector<std::unique_ptr<EventLoop::Timer>> m_pending;
    int m_count = 0;
};

struct ProgramFolder {
    fixtures::TempDir root;
    std::string program() const { return root.path() + "/vorn"; }
    std::string system() const { return root.path() + "/syslib"; }

    ProgramFolder() { fixtures::makeFolders(program()); }

    void write(const std::string& relative, const std::string& content) const {
        const std::string path = program() + "/" + relative;
        fixtures::makeFolders(Utf8Path(FsPath(path).parent_path()));
        fixtures::writeFile(path, content);
    }
    std::string read(const std::string& relative) const {
        const std::string path = program() + "/" + relative;
        return fixtures::exists(path) ? fixtures::readFile(path) : std::string();
    }
    bool exists(const std::string& relative) const {
        return fixtures::exists(program() + "/" + relative);
    }
    // Every file and folder under the root (program folder, system directory and what lies
    // beside them), with the contents of the files; leaveOut: paths in the program folder.
    std::map<std::string, std::string> snapshot(const Lines& leaveOut = {}) const {
        std::map<std::string, std::string> found;
        std::error_code error;
        for (auto it = std::filesystem::recursive_directory_iterator(FsPath(root.path()), error);
             !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
            const std::string path = Utf8Path(it->path());
            const std::string relative =
                path.starts_with(program() + "/") ? path.substr(program().size() + 1) : "";
            if (std::find(leaveOut.begin(), leaveOut.end(), relative) != leaveOut.end())
                continue;
            found[path] = it->is_directory(error) ? "<folder>" : fixtures::readFile(path);
        }
        return found;
    }
    // Puts the engine library built with the program beside the updater.
    void installEngine() const {
        const char* built = std::getenv("VORN_PROGRAM_DIR");
        write("vbuzip10.dll",
              fixtures::readFile(std::string(built ? built : ".") + "/vbuzip10.dll"));
    }
};

// One update run of a main form made for the test: a program folder, scripted downloads and
// client checks, a fake window, and the close action's effects recorded instead of carried out.
struct UpdaterRun {
    TestLoop loop;
    FakeView view;
    ProgramFolder folder;
    ScriptedReadService service{loop};
    int clientPolls = 0;
    int clientRunningFor = 0;           // polls that still see the client
    std::function<void()> onClientPoll; // called at every poll that still sees the client
    std::unique_ptr<frmMain> window;
    bool terminated = false;
    Lines clientsStarted;
    std::vector<RunOutcome> outcomes; // as the form announced them

    void start(const std::string& commandLine) {
        UpdaterEnvironment environment;
        environment.commandLine = commandLine;
        environment.programFolder = folder.program();
        environment.systemDir = folder.system();
        environment.readService = &service;
        environment.processRunning = [this](const std::string& name, std::int32_t) {
            EXPECT_EQ(name, "Vorn.exe");
            const bool running = clientPolls++ < clientRunningFor;
            if (running && onClientPoll)
                onClientPoll();
            return running;
        };
        view = FakeView();
        window = std::make_unique<frmMain>(std::move(environment), view, loop);
        outcomes.clear();
        window->runEnded = [this](RunOutcome outcome) { outcomes.push_back(outcome); };
        window->terminateProcess = [this] { terminated = true; };
        window->startClient = [this](const std::string& f) { clientsStarted.push_back(f); };
    }
    // Runs the loop until the run has ended (or a generous limit, against hangs only).
    bool finish() {
        return loop.runUntil([this] { return !outcomes.empty(); }) && window->finished();
    }
    void serve(const std::string& name, const std::string& body, std::int64_t announced = -1) {
        service.replies["http://updates.test/v2/" + name] = {body, announced, true, {}, 1};
    }
    // Serves a zip of the entries; damage (may be null) changes the archive first.
    void serveZip(const std::string& name, const std::vector<fixtures::ZipEntry>& entries,
                  const std::function<void(const std::string&)>& damage = nullptr) {
        const std::string path = folder.root / name;
        fixtures::buildZip(path, entries);
        if (damage)
            damage(path);
        serve(name, fixtures::readFile(path));
    }
    // The real engine, an installed shared.txt, and two packages: a.zip replaces shared.txt and
    // adds data/a.txt; b.zip holds the entries given (changed by damage first, when given).
    void serveTwoPackages(const std::vector<fixtures::ZipEntry>& b,
                          const std::function<void(const std::string&)>& damage = nullptr) {
        folder.installEngine();
        folder.write("shared.txt", "installed");
        serveZip("a.zip", {fixtures::ZipEntry::file("shared.txt", "from a"),
                           fixtures::ZipEntry::file("data/a.txt", "from a")});
        serveZip("b.zip", b, damage);
    }
    // The program folder but updates/, the engine library and the lock.
    std::map<std::string, std::string> installation() const {
        std::map<std::string, std::string> files = folder.snapshot();
        const std::string program = folder.program() + "/";
        std::erase_if(files, [&program](const auto& file) {
            const std::string relative =
                file.first.substr(std::min(program.size(), file.first.size()));
            return !file.first.starts_with(program) || relative.starts_with("updates") ||
                   relative == "vbuzip10.dll" || relative == ".vorn-updater.lock";
        });
        return files;
    }
    // Every name below the program folder that belongs to the engine.
    Lines engineFiles() const {
        Lines found;
        for (const auto& [path, content] : folder.snapshot())
            if (path.find("/.vbuzip-") != std::string::npos)
                found.push_back(path);
        return found;
    }
    // The status log's lines.
    Lines lines() const {
        std::string text = view.statusText;
        if (text.ends_with("\r\n"))
            text.resize(text.size() - 2);
        Lines split;
        for (std::size_t start = 0;;) {
            const std::size_t end = text.find("\r\n", start);
            split.push_back(text.substr(start, end - start));
            if (end == std::string::npos)
                return split;
            start = end + 2;
        }
    }
};

// The network read service of the Linux front-end against the loopback server, file addresses
// and bad addresses.
#include <QElapsedTimer>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>
#include <optional>

#include "AppError.h"
#include "HttpFixture.h"
#include "NetworkTestSupport.h"
#include "Version.h"
#include "core/Diagnostics.h"
#include "download/NetworkReadService_linux.h"
#include "download/PartialDownload.h"

using namespace std::chrono_literals;
using Response = HttpFixture::Response;

namespace {
struct Outcome {
    qint64 bytesRead = -1, total = -1;
    QString tag, tempFile;
    QByteArray content; // the temporary file's bytes while the notification was handled
};

class NetworkReadServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        service.setTempFolder(temp.path());
        service.setRetryPolicy(RetryPolicy::none()); // one try per read: retries are tested apart
        service.readProgress = [this](std::int64_t bytesRead, std::int64_t total,
                                      const std::string&) {
            progress.append({bytesRead, total});
        };
        service.readComplete = [this](std::int64_t bytesRead, std::int64_t total,
                                      const std::string& tag, const std::string& tempFile) {
            const QString file = QString::fromStdString(tempFile);
            outcomes.append({bytesRead, total, QString::fromStdString(tag), file,
                             file.isEmpty() ? QByteArray() : readAll(file)});
        };
    }

    Outcome read(const QString& address, const QString& tag = QStringLiteral("Id"),
                 int options = AsyncReadService::ForceUpdate) {
        const qsizetype before = outcomes.size();
        service.start(address.toStdString(), AsyncReadService::DeliverToFile, tag.toStdString(),
                      options);
        waitUntil([&] { return outcomes.size() > before; });
        QCoreApplication::processEvents(); // a second notification would show here
        EXPECT_EQ(outcomes.size(), before + 1);
        EXPECT_EQ(service.activeReads(), 0);
        EXPECT_TRUE(entries(temp.path()).isEmpty()) << "temporary file left behind";
        return outcomes.last();
    }

    QTemporaryDir temp;
    // The usual stall time-out: a slow or busy machine never ends a healthy transfer early.
    NetworkReadService service;
    HttpFixture server;
    QList<QPair<qint64, qint64>> progress;
    QList<Outcome> outcomes;
};

// Sets or removes an environment variable for its lifetime.
class EnvironmentOverride {
public:
    EnvironmentOverride(const char* name, const std::optional<QByteArray>& value)
        : m_name(name), m_wasSet(qEnvironmentVariableIsSet(name)), m_saved(qgetenv(name)) {
        if (value)
            qputenv(name, *value);
        else
            qunsetenv(name);
    }
    ~EnvironmentOverride() {
        if (m_wasSet)
            qputenv(m_name, m_saved);
        else
            qunsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_wasSet;
    QByteArray m_saved;
};

void expectFailed(const Outcome& outcome) {
    EXPECT_TRUE(outcome.tempFile.isEmpty());
    EXPECT_FALSE(outcome.bytesRead > 0 && outcome.bytesRead == outcome.total);
}
} // namespace

TEST_F(NetworkReadServiceTest, CompleteBodiesWithAndWithoutAnnouncedSize) {
    const QByteArray body = HttpFixture::pattern(0, 300000);
    struct Case {
        const char* path;
        Response::Framing framing;
        qint64 progressTotal;
    } cases[] = {{"/length.zip", Response::Framing::ContentLength, 300000},
                 {"/chunked.zip", Response::Framing::Chunked, 0},
                 {"/close.zip", Response::Framing::UntilClose, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Response response = Response::ok(body);
        response.framing = c.framing;
        server.route(c.path, response);
        progress.clear();
        const Outcome outcome = read(server.url(QLatin1String(c.path)), QStringLiteral("tag-1"));
        EXPECT_EQ(outcome.bytesRead, body.size());
        EXPECT_EQ(outcome.total, body.size());
        EXPECT_EQ(outcome.tag, QStringLiteral("tag-1"));
        EXPECT_EQ(outcome.content, body);
        ASSERT_FALSE(progress.isEmpty());
        EXPECT_EQ(progress.last().first, body.size());
        for (qsizetype i = 0; i < progress.size(); ++i) {
            EXPECT_EQ(progress[i].second, c.progressTotal);
            if (i > 0) {
                EXPECT_GT(progress[i].first, progress[i - 1].first);
            }
        }
    }
    const HttpFixture::Request request = server.requests().first();
    EXPECT_EQ(request.headers.value("accept-encoding"), "identity");
    EXPECT_EQ(request.headers.value("cache-control"), "no-cache");
}

TEST_F(NetworkReadServiceTest, BrokenTransfersFail) {
    Response cut = Response::generated(100000);
    cut.cutAfter = 40000;
    server.route("/cut.zip", cut);
    Outcome outcome = read(server.url("/cut.zip"));
    expectFailed(outcome);
    EXPECT_EQ(outcome.bytesRead, 40000);
    EXPECT_EQ(outcome.total, 100000);

    // Nothing arrives for longer than the stall time-out: after some bytes, and before any.
    service.setStallTimeout(2s);
    Response stall = Response::generated(100000);
    stall.stallAfter = 30000;
    server.route("/stall.zip", stall);
    outcome = read(server.url("/stall.zip"));
    expectFailed(outcome);
    EXPECT_EQ(outcome.bytesRead, 30000);
    stall.stallAfter = 0;
    server.route("/silent.zip", stall);
    expectFailed(read(server.url("/silent.zip")));
    EXPECT_EQ(outcomes.last().bytesRead, 0);
    // Without an announced size the failure reports total 0, never the bytes read.
    stall.stallAfter = 30000;
    stall.framing = Response::Framing::Chunked;
    server.route("/stall-chunked.zip", stall);
    outcome = read(server.url("/stall-chunked.zip"));
    expectFailed(outcome);
    EXPECT_EQ(outcome.bytesRead, 30000);
    EXPECT_EQ(outcome.total, 0);
}

TEST_F(NetworkReadServiceTest, ErrorResponsesReadNothing) {
    server.route("/gone.zip", Response::error(404, "Not Found"));
    server.route("/broken.zip", Response::error(500, "Internal Server Error"));
    Response encoded = Response::ok("compressed bytes");
    encoded.headers.append(qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip")));
    server.route("/encoded.zip", encoded);
    Response part = Response::ok("a part");
    part.status = 206;
    part.reason = "Partial Content";
    server.route("/part.zip", part);
    for (const char* path : {"/gone.zip", "/broken.zip", "/encoded.zip", "/part.zip"}) {
        SCOPED_TRACE(path);
        progress.clear();
        const Outcome outcome = read(server.url(QLatin1String(path)));
        expectFailed(outcome);
        EXPECT_EQ(outcome.bytesRead, 0);
        EXPECT_TRUE(progress.isEmpty());
    }
}

TEST_F(NetworkReadServiceTest, NeverTakesMoreThanAnnounced) {
    Response longer = Response::generated(50000);
    longer.announcedLength = 20000;
    server.route("/longer.zip", longer);
    Response endless;
    endless.endless = true;
    endless.announcedLength = 20000;
    server.route("/endless.zip", endless);
    for (const char* path : {"/longer.zip", "/endless.zip"}) {
        SCOPED_TRACE(path);
        const Outcome outcome = read(server.url(QLatin1String(path)));
        EXPECT_LE(outcome.bytesRead, 20000);
        if (!outcome.tempFile.isEmpty()) {
            EXPECT_EQ(outcome.content, HttpFixture::pattern(0, 20000));
        }
    }
}

TEST_F(NetworkReadServiceTest, Redirects) {
    server.route("/old.zip", Response::redirect(server.url("/new.zip").toUtf8()));
    server.route("/new.zip", Response::ok("the package"));
    Outcome outcome = read(server.url("/old.zip"));
    EXPECT_EQ(outcome.content, "the package");
    EXPECT_EQ(server.requestedPaths(), (QList<QByteArray>{"/old.zip", "/new.zip"}));

    server.route("/loop.zip", Response::redirect("/loop.zip"));
    outcome = read(server.url("/loop.zip"));
    expectFailed(outcome);
    EXPECT_EQ(outcome.bytesRead, 0);
    // Redirects stop at the limit (the network layer may resend a request on a closing connection).
    EXPECT_LT(server.requestCount("/loop.zip"), 2 * (service.maxRedirects() + 1));
}

TEST_F(NetworkReadServiceTest, SystemProxyCarriesReadsExceptToLoopback) {
    // Reads take the proxy the system is set up with (here http_proxy), like the user's other
    // programs; loopback addresses never do. The loopback server plays the proxy: it gets the
    // whole address in the request line.
    server.route("http://updates.vorn.invalid/pkg.zip", Response::ok("through the proxy"));
    server.route("/direct.zip", Response::ok("direct"));
    Outcome proxied, direct;
    {
        const EnvironmentOverride proxy("http_proxy", server.url(QString()).toUtf8());
        const EnvironmentOverride noProxy("no_proxy", std::nullopt);
        const EnvironmentOverride noProxyUpper("NO_PROXY", std::nullopt);
        proxied = read(QStringLiteral("http://updates.vorn.invalid/pkg.zip"));
        direct = read(server.url("/direct.zip"));
    }
    EXPECT_EQ(proxied.content, "through the proxy");
    EXPECT_EQ(direct.content, "direct");
}

TEST_F(NetworkReadServiceTest, FileAddresses) {
    QTemporaryDir folder;
    const QByteArray body = HttpFixture::pattern(7, 3 << 20); // more than one slice
    writeFile(folder.filePath("pkg.zip"), body);
    Outcome outcome = read(QUrl::fromLocalFile(folder.filePath("pkg.zip")).toString());
    EXPECT_EQ(outcome.bytesRead, body.size());
    EXPECT_EQ(outcome.total, body.size());
    EXPECT_EQ(outcome.content, body);
    EXPECT_TRUE(QFile::exists(folder.filePath("pkg.zip")));

    outcome = read(QUrl::fromLocalFile(folder.filePath("missing.zip")).toString());
    expectFailed(outcome);
    EXPECT_EQ(outcome.bytesRead, 0);
}

TEST_F(NetworkReadServiceTest, NoServerMeansNothingRead) {
    const Outcome outcome =
        read(QStringLiteral("http://127.0.0.1:%1/pkg.zip").arg(HttpFixture::closedPort()));
    EXPECT_EQ(outcome.bytesRead, 0);
    EXPECT_EQ(outcome.total, 0);
}

TEST_F(NetworkReadServiceTest, ReadsThatCannotStartThrow) {
    for (const char* address : {"ftp://127.0.0.1/pkg.zip", "pkg.zip", "", "http:///pkg.zip"}) {
        SCOPED_TRACE(address);
        EXPECT_THROW(service.start(address, 1, "Id", 16), AppError);
    }
    try {
        service.start(server.url("/pkg.zip").toStdString(), 2, "Id", 16);
        ADD_FAILURE() << "a delivery kind other than file was taken";
    } catch (const AppError& error) {
        EXPECT_EQ(error.number(), AppError::InvalidArgument);
    }
    service.setTempFolder(temp.filePath("missing-folder"));
    EXPECT_THROW(service.start(server.url("/pkg.zip").toStdString(), 1, "Id", 16), AppError);
    EXPECT_EQ(service.activeReads(), 0);
    QCoreApplication::processEvents();
    EXPECT_TRUE(outcomes.isEmpty());
    EXPECT_TRUE(server.requests().isEmpty());
}

TEST_F(NetworkReadServiceTest, DroppedServiceLeavesNoFile) {
    auto dropped = std::make_unique<NetworkReadService>();
    dropped->setTempFolder(temp.path());
    Response stall = Response::generated(1000);
    stall.stallAfter = 500;
    server.route("/stall.zip", stall);
    bool completed = false;
    dropped->readComplete = [&](std::int64_t, std::int64_t, const std::string&,
                                const std::string&) { completed = true; };
    qint64 received = 0;
    dropped->readProgress = [&](std::int64_t bytesRead, std::int64_t, const std::string&) {
        received = bytesRead;
    };
    dropped->start(server.url("/stall.zip").toStdString(), 1, "Id", 16);
    waitUntil([&] { return received == 500; });
    dropped.reset();
    QCoreApplication::processEvents();
    EXPECT_FALSE(completed);
    EXPECT_TRUE(entries(temp.path()).isEmpty());
}

// https: the certificate is checked, and a redirect never leads from https to plain http.
class SecureReadTest : public NetworkReadServiceTest {
protected:
    void SetUp() override {
        NetworkReadServiceTest::SetUp();
        saved = QSslConfiguration::defaultConfiguration();
    }
    void TearDown() override { QSslConfiguration::setDefaultConfiguration(saved); }
    void trustFixture() {
        QSslConfiguration trusting = saved;
        trusting.addCaCertificate(HttpFixture::certificate());
        QSslConfiguration::setDefaultConfiguration(trusting);
    }
    QSslConfiguration saved;
    HttpFixture secure{HttpFixture::Transport::Tls};
};

TEST_F(SecureReadTest, UntrustedCertificateFails) {
    secure.route("/pkg.zip", Response::ok("package"));
    expectFailed(read(secure.url("/pkg.zip")));
    EXPECT_EQ(outcomes.last().bytesRead, 0);
    EXPECT_TRUE(secure.requests().isEmpty());
}

TEST_F(SecureReadTest, TrustedCertificateReadsAndNeverRedirectsToHttp) {
    trustFixture();
    secure.route("/pkg.zip", Response::ok("package"));
    EXPECT_EQ(read(secure.url("/pkg.zip")).content, "package");

    server.route("/pkg.zip", Response::ok("plain package"));
    secure.route("/down.zip", Response::redirect(server.url("/pkg.zip").toUtf8()));
    const Outcome outcome = read(secure.url("/down.zip"));
    expectFailed(outcome);
    EXPECT_EQ(outcome.bytesRead, 0);
    EXPECT_TRUE(server.requests().isEmpty());
}

// Tries again, and goes on from the bytes that arrived: the service as the program sets it up,
// with short waits.
class ResumeRetryTest : public NetworkReadServiceTest {
protected:
    static constexpr qint64 kSize = 400000;

    void SetUp() override {
        NetworkReadServiceTest::SetUp();
        service.setRetryPolicy({3, 250ms, 30s}); // longer than the fixture's resend window
        clock.start();
        QObject::connect(&server, &HttpFixture::requestReceived,
                         [this] { requestTimes.append(clock.elapsed()); });
        s_warnings.clear();
        SetDiagnosticSink(
            [](const std::string& text) { s_warnings << QString::fromStdString(text); });
    }
    void TearDown() override { SetDiagnosticSink({}); }

    // One read of `address` to its end, whatever it leaves in the temporary folder.
    Outcome attempt(NetworkReadService& reader, const QString& address) {
        const qsizetype before = outcomes.size();
        reader.start(address.toStdString(), 1, "Id", 16);
        waitUntil([&] { return outcomes.size() > before; });
        return outcomes.last();
    }
    QStringList retryLines() const { return s_warnings.filter("trying again"); }
    // A header of the n-th request of `path` (not counting those Qt sent again on its own).
    QByteArray header(const QByteArray& path, int n, const QByteArray& name) const {
        return server.distinctRequests(path).value(n).headers.value(name);
    }
    int tries(const QByteArray& path) const { return int(server.distinctRequests(path).size()); }

    static Response part(qint64 cutAfter, const QByteArray& etag = "\"v1\"") {
        Response response = Response::generated(kSize);
        response.etag = etag;
        response.ranges = true;
        response.cutAfter = cutAfter;
        return response;
    }
    static Response rangeAnswer(const QByteArray& contentRange) {
        Response response = Response::ok(HttpFixture::pattern(10, kSize - 10));
        response.status = 206;
        response.headers.append(qMakePair(QByteArray("Content-Range"), contentRange));
        return response;
    }

    inline static QStringList s_warnings;
    QElapsedTimer clock;
    QList<qint64> requestTimes;
};

TEST_F(ResumeRetryTest, SecondTryAsksForTheRestOrStartsOver) {
    Response byDate = part(kSize / 2, {});
    byDate.lastModified = "Wed, 21 Oct 2015 07:28:00 GMT";
    Response changed = Response::ok("another version");
    changed.etag = "\"v2\"";
    const QByteArray half = "bytes=200000-", v1 = "\"v1\"";
    struct Case {
        const char* name;
        int requests;
        QByteArray range, ifRange; // of the second request
        QList<Response> responses;
        QByteArray content; // empty: the generated body
    } cases[] = {
        {"rest by entity tag", 2, half, v1, {part(kSize / 2), part(-1)}, {}},
        {"rest by date", 2, half, byDate.lastModified, {byDate, part(-1, {})}, {}},
        {"server ignores ranges", 2, half, v1, {part(kSize / 2), Response::generated(kSize)}, {}},
        {"file changed", 2, half, v1, {part(kSize / 2), changed}, "another version"},
        {"wrong start",
         3,
         half,
         v1,
         {part(kSize / 2), rangeAnswer("bytes 10-399999/400000"), part(-1)},
         {}},
        {"wrong total",
         3,
         half,
         v1,
         {part(kSize / 2), rangeAnswer("bytes 200000-400009/400010"), part(-1)},
         {}},
        {"range refused",
         3,
         half,
         v1,
         {part(kSize / 2), Response::error(416, "Range Not Satisfiable"), part(-1)},
         {}},
        {"weak entity tag", 2, {}, {}, {part(kSize / 2, "W/\"v1\""), part(-1, "W/\"v1\"")}, {}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray path = "/pkg" + QByteArray::number(++n) + ".zip";
        server.routeSequence(path, c.responses);
        progress.clear();
        const Outcome outcome = read(server.url(QString::fromLatin1(path)));
        const QByteArray expected =
            c.content.isEmpty() ? HttpFixture::pattern(0, kSize) : c.content;
        EXPECT_EQ(outcome.content, expected);
        EXPECT_EQ(outcome.bytesRead, expected.size());
        EXPECT_EQ(tries(path), c.requests);
        EXPECT_EQ(header(path, 1, "range"), c.range);
        EXPECT_EQ(header(path, 1, "if-range"), c.ifRange);
        if (c.requests == 3) {
            EXPECT_EQ(header(path, 2, "range"), QByteArray()) << "the start over asks for all";
        }
        // The progress shows the whole file, also while the rest arrives.
        ASSERT_FALSE(progress.isEmpty());
        EXPECT_EQ(progress.last(), qMakePair(qint64(expected.size()), qint64(expected.size())));
        for (const auto& [bytes, total] : progress)
            EXPECT_TRUE(total == kSize || total == expected.size()) << total;
        EXPECT_EQ(retryLines().size(), n);
    }
}

TEST_F(ResumeRetryTest, WhatIsTriedAgainAndHowOften) {
    service.setStallTimeout(300ms);
    Response unavailable = Response::error(503, "Service Unavailable");
    Response stall = part(-1);
    stall.stallAfter = 1000;
    Response cut = Response::generated(kSize); // no validator: every try starts over
    cut.cutAfter = 100000;
    struct Case {
        const char* name;
        QList<Response> responses;
        int requests;
        bool complete;
        qint64 bytesRead;
    } cases[] = {
        {"two cuts, then the rest", {part(100000), part(100000), part(-1)}, 3, true, kSize},
        {"four cuts, nothing to go on from", {cut}, 4, false, 100000},
        {"not found", {Response::error(404, "Not Found")}, 1, false, 0},
        {"server error", {Response::error(500, "Internal Server Error")}, 1, false, 0},
        {"bad gateway, then the file",
         {Response::error(502, "Bad Gateway"), part(-1)},
         2,
         true,
         kSize},
        {"unavailable four times", {unavailable}, 4, false, 0},
        {"gateway time-out", {Response::error(504, "Gateway Timeout"), part(-1)}, 2, true, kSize},
        {"stalled, then the rest", {stall, part(-1)}, 2, true, kSize},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        s_warnings.clear();
        const QByteArray path = "/try" + QByteArray::number(++n) + ".zip";
        server.routeSequence(path, c.responses);
        const Outcome outcome = attempt(service, server.url(QString::fromLatin1(path)));
        EXPECT_EQ(tries(path), c.requests);
        EXPECT_EQ(retryLines().size(), c.requests - 1);
        EXPECT_EQ(!outcome.tempFile.isEmpty(), c.complete);
        EXPECT_EQ(outcome.bytesRead, c.bytesRead);
        // Each failed try is one line; the last failure has the line of its own.
        EXPECT_EQ(s_warnings.filter("Download of").size(), c.requests - 1 + (c.complete ? 0 : 1))
            << s_warnings.join('\n').toStdString();
    }
    // Refused connections and refused certificates are never tried again.
    s_warnings.clear();
    attempt(service, QStringLiteral("http://127.0.0.1:%1/pkg.zip").arg(HttpFixture::closedPort()));
    EXPECT_TRUE(retryLines().isEmpty());
}

TEST_F(ResumeRetryTest, RetryAfterIsHonouredWithinItsCap) {
    service.setRetryPolicy({3, 50ms, 1500ms});
    Response soon = Response::error(503, "Service Unavailable");
    soon.headers.append(qMakePair(QByteArray("Retry-After"), QByteArray("1")));
    Response late = soon;
    late.headers.last().second = "3600";
    server.routeSequence("/soon.zip", {soon, part(-1)});
    server.routeSequence("/late.zip", {late, part(-1)});
    for (const char* path : {"/soon.zip", "/late.zip"}) {
        SCOPED_TRACE(path);
        requestTimes.clear();
        EXPECT_EQ(read(server.url(QLatin1String(path))).bytesRead, kSize);
        ASSERT_EQ(requestTimes.size(), 2);
        const qint64 waited = requestTimes[1] - requestTimes[0];
        EXPECT_GE(waited, path[1] == 's' ? 1000 : 1500);
        EXPECT_LT(waited, 2500);
    }
}

TEST_F(ResumeRetryTest, DroppedInAWaitEndsAtOnceAndTheNextRunAsksForTheRest) {
    server.route("/cut.zip", part(kSize / 2));
    auto first = std::make_unique<NetworkReadService>();
    first->setTempFolder(temp.path());
    first->setRetryPolicy({3, 30s, 30s});
    bool completed = false;
    first->readComplete = [&](std::int64_t, std::int64_t, const std::string&, const std::string&) {
        completed = true;
    };
    first->start(server.url("/cut.zip").toStdString(), 1, "Id", 16);
    waitUntil([&] { return !retryLines().isEmpty(); });
    QElapsedTimer dropping;
    dropping.start();
    first.reset(); // as the program's end does
    QCoreApplication::processEvents();
    EXPECT_LT(dropping.elapsed(), 1000);
    EXPECT_FALSE(completed);
    EXPECT_EQ(tries("/cut.zip"), 1);

    server.route("/cut.zip", part(-1));
    EXPECT_EQ(read(server.url("/cut.zip")).content, HttpFixture::pattern(0, kSize));
    EXPECT_EQ(header("/cut.zip", 0, "range"), "bytes=200000-");
}

TEST_F(ResumeRetryTest, PartialsOfOtherAddressesOrOlderThanADayAreDiscarded) {
    server.route("/pkg.zip", part(-1));
    const QString address = server.url("/pkg.zip");
    struct Case {
        const char* name;
        QString recorded;
        qint64 ageSeconds;
        QByteArray range;
    } cases[] = {{"fresh", address, 60, "bytes=1000-"},
                 {"another address", server.url("/other.zip"), 60, {}},
                 {"older than a day", address, 25 * 3600, {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(temp.filePath("vorn-download-abc123.part"), HttpFixture::pattern(0, 1000));
        const PartialDownload record{c.recorded.toStdString(),
                                     "vorn-download-abc123.part",
                                     "\"v1\"",
                                     kSize,
                                     1000,
                                     std::chrono::system_clock::now() -
                                         std::chrono::seconds(c.ageSeconds)};
        const std::string name = PartialDownload::recordName(address.toStdString());
        ASSERT_TRUE(record.save(temp.filePath(QString::fromStdString(name)).toStdString()));
        const int next = tries("/pkg.zip");
        EXPECT_EQ(read(address).content, HttpFixture::pattern(0, kSize)); // and nothing left
        EXPECT_EQ(header("/pkg.zip", next, "range"), c.range);
    }
}

TEST_F(ResumeRetryTest, FileAddressesGoOnBySeeking) {
    QTemporaryDir folder;
    const QByteArray body = HttpFixture::pattern(3, 3 << 20); // three slices
    writeFile(folder.filePath("pkg.zip"), body);
    const QString address = QUrl::fromLocalFile(folder.filePath("pkg.zip")).toString();
    {
        NetworkReadService first;
        first.setTempFolder(temp.path());
        qint64 received = 0;
        first.readProgress = [&](std::int64_t d, std::int64_t, const std::string&) {
            received = d;
        };
        first.start(address.toStdString(), 1, "Id", 16);
        waitUntil([&] { return received > 0; });
    } // dropped after its first slice
    progress.clear();
    EXPECT_EQ(read(address).content, body);
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_GT(progress.first().first, 1 << 20) << "did not go on from the bytes held";
}

TEST_F(ResumeRetryTest, PackageReadsTakeOnlyZipArchivesAndNameTheUpdater) {
    const QByteArray end = QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0'); // no entries
    const QByteArray archive = QByteArray("PK\x03\x04", 4) + HttpFixture::pattern(0, 5000) + end;
    Response page = Response::ok("<!DOCTYPE html><html>Down for maintenance</html>");
    page.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("text/html")));
    struct Case {
        const char* path;
        Response response;
        qint64 bytesRead;
        const char* said; // in the diagnostic; nullptr: the read succeeds
    } cases[] = {
        {"/archive.zip", Response::ok(archive), archive.size(), nullptr},
        {"/empty.zip", Response::ok(end), end.size(), nullptr},
        {"/page.zip", page, 0,
         "bytes beginning \"<!DOCTYPE html><html>Down for maintenance</html>\" of type text/html"},
        {"/tiny.zip", Response::ok("PK"), 0, "bytes beginning \"PK\""},
        {"/binary.zip", Response::ok(QByteArray("\x1f\x8b\x08\x00", 4)), 0, "\\x1f\\x8b\\x08\\x00"},
        {"/half.zip", Response::ok(archive.left(3000)), 3000, "a zip archive without its end"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        s_warnings.clear();
        server.route(c.path, c.response);
        const Outcome outcome =
            read(server.url(QLatin1String(c.path)), QStringLiteral("Id"),
                 AsyncReadService::ForceUpdate | AsyncReadService::ZipArchiveOnly);
        EXPECT_EQ(outcome.bytesRead, c.bytesRead);
        EXPECT_EQ(outcome.tempFile.isEmpty(), c.said != nullptr);
        if (c.said) {
            EXPECT_EQ(outcome.total, 0);
            const QStringList said = s_warnings.filter("Download of");
            ASSERT_EQ(said.size(), 1);
            EXPECT_TRUE(said[0].contains(QLatin1String(c.said))) << said[0].toStdString();
        }
    }
    EXPECT_EQ(header("/archive.zip", 0, "user-agent"), "vorn-updater/" VORN_UPDATER_VERSION);
}

// The network read service against the loopback server, file addresses and bad addresses.
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>
#include <optional>

#include "DownloadTestSupport.h"
#include "HttpFixture.h"
#include "NetworkReadService.h"

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
        QObject::connect(&service, &AsyncReadService::readProgress,
                         [this](qint64 bytesRead, qint64 total, const QString&) {
                             progress.append({bytesRead, total});
                         });
        QObject::connect(
            &service, &AsyncReadService::readComplete,
            [this](qint64 bytesRead, qint64 total, const QString& tag, const QString& tempFile) {
                outcomes.append({bytesRead, total, tag, tempFile,
                                 tempFile.isEmpty() ? QByteArray() : readAll(tempFile)});
            });
    }

    Outcome read(const QString& address, const QString& tag = QStringLiteral("Id")) {
        const qsizetype before = outcomes.size();
        service.start(address, AsyncReadService::DeliverToFile, tag, AsyncReadService::ForceUpdate);
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
        EXPECT_THROW(service.start(QLatin1String(address), 1, "Id", 16), AppError);
    }
    try {
        service.start(server.url("/pkg.zip"), 2, "Id", 16);
        ADD_FAILURE() << "a delivery kind other than file was taken";
    } catch (const AppError& error) {
        EXPECT_EQ(error.number(), AppError::InvalidArgument);
    }
    service.setTempFolder(temp.filePath("missing-folder"));
    EXPECT_THROW(service.start(server.url("/pkg.zip"), 1, "Id", 16), AppError);
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
    QObject::connect(dropped.get(), &AsyncReadService::readComplete, [&] { completed = true; });
    qint64 received = 0;
    QObject::connect(dropped.get(), &AsyncReadService::readProgress,
                     [&](qint64 bytesRead) { received = bytesRead; });
    dropped->start(server.url("/stall.zip"), 1, "Id", 16);
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

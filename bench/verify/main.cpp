// Signature check of a 1 GiB package: the updater's check (UpdateVerifier: key file, signature,
// streaming BLAKE2b-512 hash, both Ed25519 signatures, file name and time) against
// `minisign -V -m` on the same file, same key and same signature, in the same run.
//
// The package (1 GiB of pseudo-random bytes), a key pair (minisign -G -W) and the package's
// signature (minisign -S) are made once into the data folder, laid out as a program folder:
// vorn-update.pub, updates/package.bin, updates/package.bin.minisig. Each check runs as a process
// of its own (this program with --check, and minisign), started by a small measuring program
// (measure.c), so that both are timed from process start to exit and their peak memory is their
// own maximum resident set size. The two take turns, after
// one untimed warm-up each (the package is then in the page cache for both); the median of the
// runs is reported.
//
// Usage: bench_verify [--table] [--runs N] [--data DIR]
//   --table  print only rows "ROW<TAB>case<TAB>variant<TAB>value<TAB>unit<TAB>note" for bench/run
//   bench_verify --check PROGRAM_FOLDER PACKAGE   (one check, as the runs above start it)
#include "MinisignRig.h"
#include "verify/UpdateVerifier.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSaveFile>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const QString Package = QStringLiteral("package.bin");
constexpr qint64 PackageBytes = qint64(1) << 30;

struct Measured {
    double seconds = 0;
    double peakMegabytes = 0; // MiB
    bool succeeded = false;
    double cpuSeconds = 0;
};

// Runs `arguments` to their end through the measuring helper (measure.c): the wall-clock time,
// the maximum resident set size and the processor time of that process alone.
Measured measure(const QStringList& arguments) {
    QProcess helper;
    helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    helper.start(QStringLiteral(VORN_MEASURE), arguments);
    if (!helper.waitForFinished(-1) || helper.exitCode() != 0)
        return {};
    const QList<QByteArray> fields = helper.readAllStandardOutput().trimmed().split(' ');
    if (fields.size() != 4)
        return {};
    return {fields[0].toDouble(), fields[1].toDouble() / 1024.0, fields[2].toInt() == 0,
            fields[3].toDouble()};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double fastest(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

// The package, the keys and the signature, made when missing.
bool prepare(const QString& data) {
    const QString program = data + QStringLiteral("/program");
    const QString package = program + QStringLiteral("/updates/") + Package;
    const QString signature = package + UpdateVerifier::SignatureSuffix;
    if (QFile::exists(signature) && QFileInfo(package).size() == PackageBytes)
        return true;
    std::fprintf(stderr, "making the 1 GiB package, a key pair and its signature in %s ...\n",
                 qPrintable(data));
    if (!QDir().mkpath(program + QStringLiteral("/updates")) ||
        !QDir().mkpath(data + QStringLiteral("/keys")))
        return false;
    QSaveFile out(package);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    std::mt19937_64 random(42);
    std::vector<quint64> piece((1 << 20) / sizeof(quint64));
    for (qint64 written = 0; written < PackageBytes; written += 1 << 20) {
        std::generate(piece.begin(), piece.end(), random);
        if (out.write(reinterpret_cast<const char*>(piece.data()), 1 << 20) != 1 << 20)
            return false;
    }
    if (!out.commit())
        return false;
    const fixtures::MinisignKey key =
        fixtures::generateKey((data + "/keys").toStdString(), "publisher");
    QFile::remove(program + QLatin1Char('/') + UpdateVerifier::KeyFileName);
    if (!QFile::copy(QString::fromStdString(key.publicKeyFile),
                     program + QLatin1Char('/') + UpdateVerifier::KeyFileName))
        return false;
    fixtures::sign(key, package.toStdString());
    return true;
}

// The updater's check of one package, as the update run makes it.
int check(const std::string& program, const std::string& package) {
    UpdateVerifier verifier(program);
    std::string line;
    if (!verifier.load(&line)) {
        std::fprintf(stderr, "%s\n", line.c_str());
        return 1;
    }
    if (const auto refusal = verifier.verify({package})) {
        std::fprintf(stderr, "%s\n", refusal->statusLine.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--check")
        return check(argv[2], argv[3]);
    QCoreApplication app(argc, argv);
    bool table = false;
    int runs = 7;
    QString data = QStringLiteral(VORN_BENCH_DATA_DIR);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--table")
            table = true;
        else if (arg == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--data" && i + 1 < argc)
            data = QString::fromLocal8Bit(argv[++i]);
        else {
            std::fprintf(stderr, "usage: bench_verify [--table] [--runs N] [--data DIR]\n");
            return 2;
        }
    }
    try {
        if (!prepare(data)) {
            std::fprintf(stderr, "cannot make the test data in %s\n", qPrintable(data));
            return 1;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }

    const QString program = data + QStringLiteral("/program");
    const QStringList ours = {QCoreApplication::applicationFilePath(), QStringLiteral("--check"),
                              program, Package};
    const QStringList reference = {QString::fromStdString(fixtures::minisignProgram()),
                                   QStringLiteral("-V"),
                                   QStringLiteral("-q"),
                                   QStringLiteral("-p"),
                                   program + QLatin1Char('/') + UpdateVerifier::KeyFileName,
                                   QStringLiteral("-m"),
                                   program + QStringLiteral("/updates/") + Package};
    double loadBefore = 0, loadAfter = 0;
    getloadavg(&loadBefore, 1);

    // One series per program: [0] the updater's check, [1] minisign.
    std::vector<double> times[2], cpu[2], memory[2];
    for (int run = -1; run < runs; ++run) { // run -1: the warm-up
        const Measured results[2] = {measure(ours), measure(reference)};
        if (!results[0].succeeded || !results[1].succeeded) {
            std::fprintf(stderr, "a check failed (updater: %s, minisign: %s)\n",
                         results[0].succeeded ? "ok" : "FAILED",
                         results[1].succeeded ? "ok" : "FAILED");
            return 1;
        }
        if (run < 0)
            continue;
        for (int p = 0; p < 2; ++p) {
            times[p].push_back(results[p].seconds);
            cpu[p].push_back(results[p].cpuSeconds);
            memory[p].push_back(results[p].peakMegabytes);
        }
        if (!table)
            std::printf("run %d: updater %.3f s (cpu %.3f s) %.1f MB, minisign %.3f s (cpu %.3f s) "
                        "%.1f MB\n",
                        run + 1, results[0].seconds, results[0].cpuSeconds,
                        results[0].peakMegabytes, results[1].seconds, results[1].cpuSeconds,
                        results[1].peakMegabytes);
    }
    getloadavg(&loadAfter, 1);

    const double ratio = median(times[0]) / median(times[1]);
    const double cpuRatio = median(cpu[0]) / median(cpu[1]);
    const double peak = *std::max_element(memory[0].begin(), memory[0].end());
    const double referencePeak = *std::max_element(memory[1].begin(), memory[1].end());
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    const bool busy = loadBefore > double(cpus) || loadAfter > double(cpus);
    const QString rows[] = {
        QStringLiteral("1 GiB package\tvorn_verify (UpdateVerifier)\t%1\ts\tfastest %2 s")
            .arg(median(times[0]), 0, 'f', 3)
            .arg(fastest(times[0]), 0, 'f', 3),
        QStringLiteral("1 GiB package\tminisign -V -m\t%1\ts\tfastest %2 s")
            .arg(median(times[1]), 0, 'f', 3)
            .arg(fastest(times[1]), 0, 'f', 3),
        QStringLiteral("1 GiB package\tratio vorn_verify / minisign\t%1\t\tgoal <= 1.0: %2")
            .arg(ratio, 0, 'f', 3)
            .arg(ratio <= 1.0 ? QStringLiteral("met") : QStringLiteral("NOT MET")),
        QStringLiteral("1 GiB package\tratio of cpu time (user + system)\t%1\t\t"
                       "vorn_verify %2 s, minisign %3 s")
            .arg(cpuRatio, 0, 'f', 3)
            .arg(median(cpu[0]), 0, 'f', 3)
            .arg(median(cpu[1]), 0, 'f', 3),
        QStringLiteral("1 GiB package\tpeak memory, vorn_verify\t%1\tMB\tgoal < 64 MB: %2")
            .arg(peak, 0, 'f', 1)
            .arg(peak < 64 ? QStringLiteral("met") : QStringLiteral("NOT MET")),
        QStringLiteral("1 GiB package\tpeak memory, minisign\t%1\tMB\t")
            .arg(referencePeak, 0, 'f', 1),
        QStringLiteral("machine\tload average (1 min), before / after\t%1\t\tafter %2%3")
            .arg(loadBefore, 0, 'f', 1)
            .arg(loadAfter, 0, 'f', 1)
            .arg(busy ? QStringLiteral("; BUSY: times unreliable") : QString()),
    };
    for (const QString& row : rows)
        std::printf(table ? "ROW\t%s\n" : "%s\n", qPrintable(row));
    return 0;
}

// The rules the network read follows, apart from the network: retries and their waits, the
// records of partial downloads and the ranges that go on from them, and the zip check of packages.
#include <chrono>
#include <climits>
#include <gtest/gtest.h>

#include "DownloadTestSupport.h"
#include "TestFiles.h"
#include "download/PackageCheck.h"
#include "download/PartialDownload.h"
#include "download/RetryPolicy.h"

using namespace std::chrono;
using namespace std::chrono_literals;

namespace {
const sys_days kMayDay = sys_days(year(2024) / 5 / 1);
} // namespace

TEST(RetryPolicyTest, WaitsAndTheServersRetryAfter) {
    const RetryPolicy policy;
    EXPECT_EQ(policy.waitBefore(1, std::nullopt), 1s);
    EXPECT_EQ(policy.waitBefore(2, std::nullopt), 2s);
    EXPECT_EQ(policy.waitBefore(3, std::nullopt), 4s);
    EXPECT_EQ(policy.waitBefore(1, 12s), 12s);
    EXPECT_EQ(policy.waitBefore(1, 3600s), 30s);
    const system_clock::time_point now = kMayDay + 12h;
    const struct {
        const char* value;
        std::optional<milliseconds> wait;
    } cases[] = {{"5", 5s},
                 {" 0 ", 0s},
                 {"Wed, 01 May 2024 12:00:10 GMT", 10s},
                 {"wed, 01 MAY 2024 12:00:10 GMT", 10s},
                 {"Wed, 01 May 2024 11:00:00 GMT", 0s},
                 {"Mon, 01 May 2024 12:00:10 GMT", std::nullopt}, // not that day of the week
                 {"Wed, 1 May 2024 12:00:10 GMT", std::nullopt},
                 {"99999999999", milliseconds(INT_MAX)},
                 {"-3", std::nullopt},
                 {"soon", std::nullopt},
                 {"", std::nullopt}};
    for (const auto& c : cases)
        EXPECT_EQ(parseRetryAfter(c.value, now), c.wait) << c.value;
}

TEST(PartialDownloadTest, ValidatorsAndContentRanges) {
    EXPECT_EQ(PartialDownload::validatorOf("\"v1\"", "date"), "\"v1\"");
    EXPECT_EQ(PartialDownload::validatorOf("W/\"v1\"", "date"), "")
        << "never a weak tag, nor a date then";
    EXPECT_EQ(PartialDownload::validatorOf("", " date "), "date");
    const std::optional<ContentRange> range = ContentRange::parse(" bytes 5-9/10");
    ASSERT_TRUE(range);
    EXPECT_EQ((std::vector<std::int64_t>{range->first, range->last, range->total}),
              (std::vector<std::int64_t>{5, 9, 10}));
    for (const char* value :
         {"bytes 5-9/*", "bytes 9-5/10", "bytes 0-10/10", "items 0-9/10", "bytes -9/10"})
        EXPECT_FALSE(ContentRange::parse(value)) << value;
}

TEST(PartialDownloadTest, RecordsKeepWhatTheyHoldAndLeadNowhereElse) {
    // The name of an address's record: the first 16 hex digits of its SHA-256.
    EXPECT_EQ(PartialDownload::recordName("abc"), "vorn-download-ba7816bf8f01cfea.resume");

    fixtures::TempDir folder;
    const PartialDownload record{
        "http://host/a%20b.zip", "vorn-download-abc123.part", "\"v\xe9\\\"", 400000, 1000,
        kMayDay + 12h + 345ms};
    ASSERT_TRUE(record.save(folder / "record"));
    ASSERT_TRUE(record.save(folder / "record")) << "replaces the one before";
    EXPECT_EQ(entries(folder.path()), std::vector<std::string>{"record"});
    const std::optional<PartialDownload> loaded = PartialDownload::load(folder / "record");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->address, record.address);
    EXPECT_EQ(loaded->partialName, record.partialName);
    EXPECT_EQ(loaded->validator, record.validator);
    EXPECT_EQ(loaded->total, record.total);
    EXPECT_EQ(loaded->length, record.length);
    EXPECT_EQ(loaded->saved, record.saved);
    EXPECT_TRUE(record.freshAt(record.saved + 23h));
    EXPECT_FALSE(record.freshAt(record.saved + 25h));
    EXPECT_FALSE(record.freshAt(record.saved - 25h)) << "a clock put back";

    // A record as the updater writes it, changed in one place.
    const std::string written = "{\n    \"address\": \"a\",\n    \"length\": 10,\n"
                                "    \"partial\": \"p.part\",\n"
                                "    \"saved\": \"2024-05-01T12:00:00.000Z\",\n"
                                "    \"total\": 20,\n    \"validator\": \"\\\"v\\\"\"\n}\n";
    const struct {
        const char* from;
        const char* to;
        bool loads;
    } cases[] = {
        {"", "", true},
        {"00.000Z", "00+02:00", true},
        {"\"p.part\"", "\"../p.part\"", false},
        {"\"p.part\"", "\".p\"", false},
        {"10,", "30,", false}, // more than the whole
        {"20,", "\"20\",", false},
        {"\"2024-05-01T12:00:00.000Z\"", "\"yesterday\"", false},
        {"\"\\\"v\\\"\"", "\"\"", false},
        {"\n}\n", "", false},
        {"\"a\"", "\"a\", \"more\": [1, {\"x\": null}]", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        std::string text = written;
        if (*c.from)
            text.replace(text.find(c.from), std::string(c.from).size(), c.to);
        fixtures::writeFile(folder / "edited", text);
        EXPECT_EQ(PartialDownload::load(folder / "edited").has_value(), c.loads);
    }
    EXPECT_FALSE(PartialDownload::load(folder / "missing"));
}

TEST(PackageCheckTest, OnlyItsCommentMayFollowTheEndRecord) {
    const std::string end = std::string("PK\x05\x06", 4) + std::string(18, '\0');
    const std::string commented = end.substr(0, 20) + std::string("\x03\x00", 2) + "abc";
    EXPECT_TRUE(PackageCheck::endsLikeZip(commented));
    EXPECT_FALSE(PackageCheck::endsLikeZip(commented + "x"));
    EXPECT_FALSE(PackageCheck::endsLikeZip(commented.substr(0, commented.size() - 1)));
}

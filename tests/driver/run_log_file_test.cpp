// The system's part of the run log: the file every updater appends to, taken alone only while no
// other one has it open; and the local time its lines are stamped with.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "TestFiles.h"
#include "driver/LocalClock.h"
#include "driver/RunLogFile.h"

TEST(RunLogFile, SharedAppendsAndTheExclusiveTake) {
    fixtures::TempDir dir;
    const std::string path = dir / "update.log";
    RunLogFile first, second;
    std::string reason;
    ASSERT_TRUE(first.open(path, &reason)) << reason;
    ASSERT_TRUE(second.open(path, &reason)) << reason;
    EXPECT_TRUE(first.endsWithLineEnd()) << "an empty file";
    // Each append lands whole at the end, whoever wrote last.
    for (RunLogFile* file : {&first, &second, &first})
        ASSERT_TRUE(file->append(file == &first ? "one\n" : "two\n", &reason)) << reason;
    EXPECT_EQ(fixtures::readFile(path), "one\ntwo\none\n");
    EXPECT_EQ(second.size(), 12);
    EXPECT_TRUE(second.endsWithLineEnd());
    ASSERT_TRUE(second.append("torn", &reason));
    EXPECT_FALSE(first.endsWithLineEnd());

    EXPECT_FALSE(first.takeExclusively(path)) << "the other one has it open";
    ASSERT_TRUE(first.isOpen()) << "refused, it is shared as before";
    ASSERT_TRUE(first.append("\n", &reason));
    second.close();
    EXPECT_TRUE(first.takeExclusively(path));
    // Rewritten meanwhile (replaced by another file): the next open takes the new one.
    fixtures::writeFile(path, "new\n");
    ASSERT_TRUE(first.open(path, &reason)) << reason;
    EXPECT_EQ(first.size(), 4);
    ASSERT_TRUE(first.append("more\n", &reason));
    first.close();
    EXPECT_EQ(fixtures::readFile(path), "new\nmore\n");

    EXPECT_FALSE(first.open(dir.path(), &reason)) << "a folder";
    EXPECT_FALSE(reason.empty());
}

TEST(LocalClock, LocalTimeLessItsOffsetIsNow) {
    using namespace std::chrono;
    const LocalTime t = LocalNow();
    EXPECT_LE(std::abs(t.utcOffsetSeconds), 14 * 3600);
    EXPECT_TRUE(t.millisecond >= 0 && t.millisecond < 1000);
    const sys_seconds local = sys_days(year(t.year) / t.month / t.day) + hours(t.hour) +
                              minutes(t.minute) + seconds(t.second);
    const auto utc = local - seconds(t.utcOffsetSeconds);
    EXPECT_LT(abs(utc - time_point_cast<seconds>(system_clock::now())), seconds(5));
}

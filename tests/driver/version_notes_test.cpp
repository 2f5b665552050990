#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/VersionNotes.h"

using Lines = std::vector<std::string>;

TEST(VersionNotesBlock, FirstBlockEndsAtTheFirstBlankLine) {
    const VersionNotesBlock block =
        ReadVersionNotesBlock("1.2\r\n  fixed the map\r\n \r\n1.1\r\nolder notes\r\n");
    EXPECT_EQ(block.lines, (Lines{"1.2", "  fixed the map"}));
    EXPECT_TRUE(block.blankFound);
}

TEST(VersionNotesBlock, LineEnds) {
    // CR alone ends a line; LF alone is an ordinary character.
    EXPECT_EQ(ReadVersionNotesBlock("a\rb\r\rc").lines, (Lines{"a", "b"}));
    const VersionNotesBlock lfOnly = ReadVersionNotesBlock("a\nb\n\nc\n");
    EXPECT_EQ(lfOnly.lines, Lines{"a\nb\n\nc\n"});
    EXPECT_FALSE(lfOnly.blankFound);
    // CR LF CR LF: an empty line.
    EXPECT_TRUE(ReadVersionNotesBlock("a\r\n\r\n").blankFound);
    // A last line without a line end is still read.
    EXPECT_EQ(ReadVersionNotesBlock("a\r\nb").lines, (Lines{"a", "b"}));
}

TEST(VersionNotesBlock, BlankMeansOnlySpaces) {
    const VersionNotesBlock tab = ReadVersionNotesBlock("\t\r\nx\r\n");
    EXPECT_EQ(tab.lines, (Lines{"\t", "x"}));
    EXPECT_FALSE(tab.blankFound);
    const VersionNotesBlock first = ReadVersionNotesBlock("   \r\nx\r\n");
    EXPECT_TRUE(first.lines.empty());
    EXPECT_TRUE(first.blankFound);
    const VersionNotesBlock empty = ReadVersionNotesBlock("");
    EXPECT_TRUE(empty.lines.empty());
    EXPECT_FALSE(empty.blankFound);
}

TEST(VersionNotesBlock, ByteOrderMarkIsDroppedOnlyAtTheStartOfTheFile) {
    const VersionNotesBlock block =
        ReadVersionNotesBlock("\xEF\xBB\xBFv2\r\xEF\xBB\xBFnotes\r\n\r\n");
    EXPECT_EQ(block.lines, (Lines{"v2", "\xEF\xBB\xBFnotes"}));
    // A byte-order mark alone is an empty file; followed by a line end, a blank first line.
    const VersionNotesBlock markOnly = ReadVersionNotesBlock("\xEF\xBB\xBF");
    EXPECT_TRUE(markOnly.lines.empty());
    EXPECT_FALSE(markOnly.blankFound);
    const VersionNotesBlock markThenBlank = ReadVersionNotesBlock("\xEF\xBB\xBF\r\nv2\r\n");
    EXPECT_TRUE(markThenBlank.lines.empty());
    EXPECT_TRUE(markThenBlank.blankFound);
}

TEST(VersionNotesBlock, BytesThatAreNotUtf8ReadAsReplacementCharacters) {
    EXPECT_EQ(ReadVersionNotesBlock("caf\xE9\r\n\xC3\xA9t\xC3\r\n\r\n").lines,
              (Lines{"caf\xEF\xBF\xBD", "\xC3\xA9t\xEF\xBF\xBD"}));
}

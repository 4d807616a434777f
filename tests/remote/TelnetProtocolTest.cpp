#include "remote/TelnetProtocol.h"

#include <gtest/gtest.h>

namespace {

QStringList Lines(TTelnetLineReader& reader) {
    QStringList lines;
    while (const auto line = reader.NextLine())
        lines << *line;
    return lines;
}

TEST(TelnetProtocolTest, ReaderSplitsLinesAtLfDropsTheCrAndReadsHighBytesAsQuestionMarks) {
    TTelnetLineReader reader;
    reader.Feed("?\nab\r\nc\rd\n\xFF\xFB\x01x\n\r");
    EXPECT_EQ(Lines(reader), QStringList({"?", "ab", "c\rd", "??\x01x"}));
    EXPECT_TRUE(reader.HasPartialLine());
    reader.Feed("\n");
    EXPECT_EQ(Lines(reader), QStringList({""}));
    EXPECT_FALSE(reader.HasPartialLine());
}

TEST(TelnetProtocolTest, AnOverlongLineEndsTheInputAfterTheLinesAheadOfIt) {
    const QByteArray longest(TTelnetLineReader::MaxLineLength, 'a');
    const QString longestLine = QString::fromLatin1(longest);
    const struct {
        const char* Name;
        QByteArray Sent;
        QStringList Lines;
        bool Overlong;
    } cases[] = {
        {"two of the longest",
         longest + "\r\n" + longest + "\n",
         {longestLine, longestLine},
         false},
        {"a line too long", "x\n" + longest + "b\n?\n", {"x"}, true},
        {"too long without its LF", "x\n" + longest + "\rb", {"x"}, true},
        // The CR may still be followed by its LF.
        {"the longest with its CR", "x\n" + longest + "\r", {"x"}, false},
    };
    for (const auto& c : cases) {
        TTelnetLineReader reader;
        reader.Feed(c.Sent);
        EXPECT_FALSE(reader.AtOverlongLine()) << c.Name << ": the lines ahead come first";
        EXPECT_EQ(Lines(reader), c.Lines) << c.Name;
        EXPECT_EQ(reader.AtOverlongLine(), c.Overlong) << c.Name;
        if (c.Overlong) {
            reader.Feed("S\n");
            EXPECT_FALSE(reader.NextLine()) << c.Name << ": nothing after it counts";
        }
    }
}

TEST(TelnetProtocolTest, ALineWithoutEndHoldsNoMoreThanTheLimitHoweverItArrives) {
    const QByteArray longest(TTelnetLineReader::MaxLineLength, 'a');
    TTelnetLineReader trickle;
    for (const char c : longest)
        trickle.Feed(QByteArrayView(&c, 1));
    trickle.Feed("\r");
    EXPECT_FALSE(trickle.AtOverlongLine());
    // The limit holds as soon as it is passed, without waiting for the LF.
    trickle.Feed("b");
    EXPECT_TRUE(trickle.AtOverlongLine());
    for (int i = 0; i < 100; ++i)
        trickle.Feed(QByteArray(65536, 'c'));
    EXPECT_EQ(trickle.BufferedBytes(), 0);
    EXPECT_FALSE(trickle.NextLine());
}

TEST(TelnetProtocolTest, CommandsCountTheirFirstCharacterWithCaseAfterTrimming) {
    const struct {
        const char* Line;
        ETelnetCommand Command;
    } cases[] = {
        {"?", ETelnetCommand::Status},        {" ?", ETelnetCommand::Status},
        {"\t\x01?x", ETelnetCommand::Status}, {"S", ETelnetCommand::Start},
        {"Stop", ETelnetCommand::Start},      {"X", ETelnetCommand::Stop},
        {"s", ETelnetCommand::None},          {"x", ETelnetCommand::None},
        {"", ETelnetCommand::None},           {"   ", ETelnetCommand::None},
        {"help", ETelnetCommand::None},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseTelnetCommand(QString::fromLatin1(c.Line)), c.Command) << c.Line;
}

TEST(TelnetProtocolTest, LinesGoOutAsAsciiWithCrLf) {
    EXPECT_EQ(TelnetLine(QStringLiteral("Temp. 21,5 °C")), QByteArray("Temp. 21,5 ?C\r\n"));
    EXPECT_EQ(TelnetLines({QStringLiteral("a"), QString()}), QByteArray("a\r\n\r\n"));
}

} // namespace

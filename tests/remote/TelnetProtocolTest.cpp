#include "TelnetProtocol.h"

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

TEST(TelnetProtocolTest, LinesAreLimitedTo16384CharactersHoweverTheyArrive) {
    const QByteArray longest(TTelnetLineReader::MaxLineLength, 'a');
    TTelnetLineReader whole;
    whole.Feed(longest + "\r\n" + longest + "\n");
    EXPECT_EQ(Lines(whole).size(), 2);

    // Byte by byte, the limit holds as soon as it is passed, without waiting for the LF.
    TTelnetLineReader trickle;
    for (const char c : longest)
        trickle.Feed(QByteArrayView(&c, 1));
    trickle.Feed("\r");
    EXPECT_THROW(trickle.Feed("b"), ETelnetLineTooLong);

    TTelnetLineReader inOne;
    EXPECT_THROW(inOne.Feed("x\n" + longest + "b\n"), ETelnetLineTooLong);
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

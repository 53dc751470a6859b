// The loggers' writers and the file readers hold one layout between them:
// what the writers put into a file, the readers give back whole, and a file cut
// inside a record or line ends in a torn one, never in a wrong record.
#include "formats/HeaveDatagram.h"
#include "formats/LogRecords.h"
#include "formats/QhvReader.h"
#include "formats/Sentences.h"

#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

std::string HeaveDatagram(char type, std::size_t length)
{
    std::string bytes(length, '\x01');
    bytes[0] = '\xAA';
    bytes[1] = type;
    return bytes;
}

}  // namespace

TEST(LogRecords, WhatTheWritersPutIntoAFileTheReadersGiveBackAndACutFileEndsTorn)
{
    const TempDir dir;
    const std::vector<std::string> payloads = { HeaveDatagram('R', 13), HeaveDatagram('S', 52), std::string(),
                                                std::string(65535, 'x'), std::string(256, 'y') };
    std::string records;
    std::string lines;
    for (const std::string& payload : payloads) {
        formats::AppendQhvRecord(records, payload.data(), static_cast<std::uint16_t>(payload.size()));
        formats::AppendP2xLine(lines, payload.substr(0, 300));
    }
    // The length field is little-endian: 256 is 0x00 0x01.
    EXPECT_EQ(records.substr(records.size() - 258, 2), std::string("\x00\x01", 2));

    const auto readRecords = [&](const std::string& content, std::vector<std::string>& read) {
        WriteFile(dir.path() / "file.qhv", content);
        qhvdump::CRecordReader reader((dir.path() / "file.qhv").string(), 1);
        qhvdump::Record record;
        while (reader.Next(record)) {
            read.emplace_back(record.bytes);
        }
        return reader.Torn();
    };
    std::vector<std::string> read;
    EXPECT_EQ(readRecords(records, read), "");
    EXPECT_EQ(read, payloads);
    EXPECT_EQ(qhvdump::RecordProblem(read[0]), "");
    EXPECT_EQ(qhvdump::RecordProblem(read[1]), "");

    // The last record cut off one byte short: the records before it only.
    read.clear();
    EXPECT_EQ(readRecords(records.substr(0, records.size() - 1), read),
              "torn record 4 at offset " + std::to_string(records.size() - 258) +
                  ": length 256, only 255 bytes follow");
    EXPECT_EQ(read, std::vector<std::string>(payloads.begin(), payloads.end() - 1));

    WriteFile(dir.path() / "file.p2x", lines + "$PQRV,25");
    qhvdump::CLineReader lineReader((dir.path() / "file.p2x").string());
    qhvdump::Line line;
    for (const std::string& payload : payloads) {
        ASSERT_TRUE(lineReader.Next(line));
        EXPECT_EQ(line.text, payload.substr(0, 300));
    }
    EXPECT_FALSE(lineReader.Next(line));
    EXPECT_EQ(lineReader.Torn(), "torn line 6 at offset " + std::to_string(lines.size()) +
                                     ": 8 bytes without a line end");
}

// The loggers and qhvdump share the layout of a heave datagram; only the loggers
// pass over one that a '#' at offset 4 marks as no heave, and only they take the
// 44-byte 'Q' datagram, which never reaches a .qhv file.
TEST(HeaveDatagrams, LayoutTellsTheKindAndTheLoggersPassOverMarkedOnes)
{
    std::string marked = HeaveDatagram('R', 13);
    marked[4] = '#';
    EXPECT_EQ(formats::HeaveKindOf(HeaveDatagram('R', 13)), formats::HeaveKind::Short);
    EXPECT_EQ(formats::HeaveKindOf(HeaveDatagram('S', 52)), formats::HeaveKind::Long);
    EXPECT_EQ(formats::HeaveKindOf(HeaveDatagram('Q', 44)), formats::HeaveKind::Binary);
    EXPECT_EQ(formats::HeaveKindOf(marked), formats::HeaveKind::None);
    EXPECT_EQ(formats::HeaveLayoutOf(marked), formats::HeaveKind::Short);
    EXPECT_EQ(qhvdump::KindOf(marked), 'R');
    EXPECT_EQ(qhvdump::KindOf(HeaveDatagram('Q', 44)), '?');
    for (const std::string& other : { HeaveDatagram('S', 13), HeaveDatagram('R', 52), HeaveDatagram('R', 14),
                                      std::string("\xAB" "R" "\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01", 13),
                                      std::string("\xAA", 1) }) {
        EXPECT_EQ(formats::HeaveLayoutOf(other), formats::HeaveKind::None) << other.size();
        EXPECT_EQ(qhvdump::KindOf(other), '?');
    }
    EXPECT_EQ(formats::HeaveEpoch(std::string("\xAA" "R" "\x67\x9D\x63\xFE", 6)), 1738367998u);
    EXPECT_EQ(formats::HeaveEpoch(std::string("\xAA" "R" "\x67\x9D\x63", 5)), std::nullopt);
}

// qhvdump counts a .p2x line's type as the loggers classified the sentence.
TEST(SensorSentences, TypeIsFieldTwoAsTheLoggersReadIt)
{
    EXPECT_EQ(formats::SensorSentenceType("$PQRV,25,1,x"), 25);
    EXPECT_EQ(formats::SensorSentenceType("$PQRV, +26x,1"), 26);
    EXPECT_EQ(formats::SensorSentenceType("$PQRV,250,1"), 250);
    EXPECT_EQ(formats::SensorSentenceType("$PQRV,,25"), std::nullopt);
    EXPECT_EQ(formats::SensorSentenceType("$GPZDA,25"), std::nullopt);
    EXPECT_EQ(qhvdump::SentenceType("$PQRV,27,CFG7*1F\r"), 27);
    EXPECT_EQ(qhvdump::SentenceType("$PQRV,250,1"), 0);
    EXPECT_EQ(qhvdump::SentenceType("$PQRV,31,1"), 0);
}

// qhvdump as a child process over files written by the loggers' own record and
// line writers and over hand-made broken ones: its exact output and exit codes. The
// readers run in this process over files many times their buffer.
#include "formats/LogRecords.h"
#include "formats/QhvReader.h"
#include "testsupport/ChildProcess.h"
#include "testsupport/TestUtils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testsupport::WriteFile;

const std::uint32_t T0 = 1738367998;  // 2025-01-31 23:59:58 UTC

struct Result {
    std::optional<int> exitCode;
    std::string out;
    std::string err;
};

Result Dump(const std::vector<std::string>& arguments)
{
    testsupport::ChildProcess child(QHVDUMP_BINARY, arguments);
    const std::optional<int> exitCode = child.ExitCode();
    return { exitCode, child.Out(), child.Err() };
}

// A heave datagram: 0xAA, the type, the big-endian time, zeros up to 13 or 52 bytes.
std::string Heave(char type, std::uint32_t epoch)
{
    std::string bytes(type == 'S' ? 52 : 13, '\0');
    bytes[0] = '\xAA';
    bytes[1] = type;
    for (int i = 0; i < 4; ++i) {
        bytes[2 + i] = static_cast<char>(epoch >> (24 - 8 * i));
    }
    return bytes;
}

// A hand-made .qhv record.
std::string Record(const std::string& bytes)
{
    return std::string { static_cast<char>(bytes.size() & 0xFF), static_cast<char>(bytes.size() >> 8) } + bytes;
}

class QhvDump : public ::testing::Test {
protected:
    // Writes the file as the loggers do: one record per datagram, or for .p2x
    // each sentence without its last byte, then "\n".
    std::string WriteLogged(const std::string& name, const std::vector<std::string>& items)
    {
        const bool sentences = fs::path(name).extension() == ".p2x";
        std::string content;
        for (const std::string& bytes : items) {
            if (sentences) {
                formats::AppendP2xLine(content, std::string_view(bytes).substr(0, bytes.size() - 1));
            } else {
                formats::AppendQhvRecord(content, bytes.data(), static_cast<std::uint16_t>(bytes.size()));
            }
        }
        return HandMade(name, content);
    }

    std::string HandMade(const std::string& name, const std::string& bytes)
    {
        WriteFile(m_dir.path() / name, bytes);
        return (m_dir.path() / name).string();
    }

    testsupport::TempDir m_dir;
};

}  // namespace

TEST_F(QhvDump, ListsChecksCountsAndSumsUpAHeaveFileTheLoggerWrote)
{
    // The extension is told in any letter case.
    const std::string heave = WriteLogged("heave.QHV", { Heave('R', T0), Heave('S', T0), Heave('R', T0 + 1),
                                                       Heave('R', T0 + 2), Heave('R', T0 + 8), Heave('R', T0 + 9) });
    const std::string zeros7(14, '0');
    const Result records = Dump({ heave });
    EXPECT_EQ(records.exitCode, 0) << records.err;
    EXPECT_EQ(records.out, "0 13 R 2025-01-31 23:59:58 AA52679D63FE" + zeros7 + "\n" +
                           "1 52 S 2025-01-31 23:59:58 AA53679D63FE" + std::string(92, '0') + "\n" +
                           "2 13 R 2025-01-31 23:59:59 AA52679D63FF" + zeros7 + "\n" +
                           "3 13 R 2025-02-01 00:00:00 AA52679D6400" + zeros7 + "\n" +
                           "4 13 R 2025-02-01 00:00:06 AA52679D6406" + zeros7 + "\n" +
                           "5 13 R 2025-02-01 00:00:07 AA52679D6407" + zeros7 + "\n");

    const Result check = Dump({ "--check", heave });
    EXPECT_EQ(check.exitCode, 0);
    EXPECT_EQ(check.out, heave + ": 6 records, ok\n");
    EXPECT_EQ(Dump({ "--count", heave, heave }).out, "12\n");

    const Result csv = Dump({ "--csv", heave });
    EXPECT_EQ(csv.exitCode, 0);
    EXPECT_EQ(csv.out.substr(0, csv.out.find('\n', csv.out.find('\n') + 1) + 1),
              "index,offset,length,kind,epoch,utc,hex\n0,0,13,R,1738367998,2025-01-31 23:59:58,AA52679D63FE" +
                  zeros7 + "\n");
    EXPECT_NE(csv.out.find("\n4,99,13,R,1738368006,2025-02-01 00:00:06,AA52679D6406"), std::string::npos);

    // One step of 6 s: a gap at the default 2 s, none at 6 s.
    const Result summary = Dump({ "--summary", heave });
    EXPECT_EQ(summary.exitCode, 0);
    EXPECT_EQ(summary.out, heave + ":\n"
                                   "  first    2025-01-31 23:59:58\n"
                                   "  gap      2025-02-01 00:00:00 to 2025-02-01 00:00:06, 6 s\n"
                                   "  last     2025-02-01 00:00:07\n"
                                   "  records  6: R 5, S 1, ? 0\n"
                                   "  gaps     1 longer than 2 s\n"
                                   "  rate     0.67 records/s over 9 s\n");
    const Result wide = Dump({ "--summary", "--gap=6", heave });
    EXPECT_EQ(wide.out.find("  gap "), std::string::npos) << wide.out;
    EXPECT_NE(wide.out.find("  gaps     0 longer than 6 s\n"), std::string::npos) << wide.out;
}

TEST_F(QhvDump, CheckTellsEachFilesFirstProblemAndCountTakesEveryWholeRecord)
{
    const std::string r = Heave('R', T0);
    const std::string good = WriteLogged("good.qhv", { r });
    const std::string torn = HandMade("torn.qhv", Record(r) + Record(r) + std::string("\x0D\x00", 2) + r.substr(0, 5));
    // Reading goes on after a malformed record; the file ends with one byte of a length.
    const std::string zero = HandMade("zero.qhv", Record(r) + std::string(2, '\0') + Record(r) + "\x01");
    const std::string byte = HandMade("byte.qhv", Record("A" + r.substr(1)));
    const std::string longer = HandMade("long.qhv", Record(r + '\0'));
    const std::string kind = HandMade("kind.qhv", Record("\xAA" "S" + r.substr(2)));

    const Result check = Dump({ "--check", good, torn, zero, byte, longer, kind });
    EXPECT_EQ(check.exitCode, 1);
    EXPECT_EQ(check.out, good + ": 1 record, ok\n" + torn +
                             ": torn record 2 at offset 30: length 13, only 5 bytes follow\n" + zero +
                             ": malformed record 1 at offset 15: length 0\n" + byte +
                             ": malformed record 0 at offset 0: first byte 0x41 'A', not 0xAA\n" + longer +
                             ": malformed record 0 at offset 0: length 14 fits no heave datagram (13 bytes 'R', 52 "
                             "bytes 'S')\n" +
                             kind + ": malformed record 0 at offset 0: length 13 with type byte 0x53 'S', not 'R'\n");

    const Result count = Dump({ "--count", good, torn, zero, byte });
    EXPECT_EQ(count.exitCode, 1);
    EXPECT_EQ(count.out, "7\n");
    EXPECT_EQ(count.err, "qhvdump: " + torn + ": torn record 2 at offset 30: length 13, only 5 bytes follow\n" +
                             "qhvdump: " + zero + ": malformed record 1 at offset 15: length 0\n" + "qhvdump: " + byte +
                             ": malformed record 0 at offset 0: first byte 0x41 'A', not 0xAA\n");

    // Listing shows a malformed record as it is; a torn end fails the call.
    const Result listed = Dump({ zero });
    EXPECT_EQ(listed.exitCode, 1);
    EXPECT_EQ(listed.out.substr(listed.out.find('\n') + 1, 8), "1 0 ? -\n");
    EXPECT_EQ(listed.err, "qhvdump: " + zero + ": torn record 3 at offset 32: only 1 byte of its length follows\n");
}

TEST_F(QhvDump, P2xFilesShowTheirTypesAndTheSentencesRememberedAtTheirStart)
{
    const std::vector<std::string> sentences = { "$PQRV,25,1,0.50*3A\r\n", "$PQRV,25,2,0.75*3B\r\n",
                                                 "$PQRV,26,1,12.0*0C\r\n", "$PQRV,27,CFG7*1F\r\n" };
    const std::string logged = WriteLogged("sensor.p2x", sentences);
    const Result check = Dump({ "--check", logged });
    EXPECT_EQ(check.exitCode, 0) << check.err;
    EXPECT_EQ(check.out, logged + ": 4 lines, ok\n"
                                  "  types    25: 2, 26: 1, 27: 1, other: 0\n"
                                  "  start    4 sentences remembered\n"
                                  "    1: $PQRV,25,1,0.50*3A\\r\n"
                                  "    2: $PQRV,25,2,0.75*3B\\r\n"
                                  "    3: $PQRV,26,1,12.0*0C\\r\n"
                                  "    4: $PQRV,27,CFG7*1F\\r\n");
    EXPECT_EQ(Dump({ "--summary", logged }).out, logged + ": 4 lines" + check.out.substr(check.out.find('\n')));

    // Two files run together, the last line cut off: the leading run ends at
    // the change of sentence 25/1; a line of another talker leaves it going.
    const std::string lines = "$PQRV,25,1,0.50*3A\r\n$GPZDA,235958.00,31,01,2025*6B\r\n$PQRV,26,1,12.0*0C\r\n"
                              "$PQRV,25,1,0.55*3F\r\n$PQRV,26,2,11.5*0E\r\n";
    const std::string joined = HandMade("joined.P2x", lines + "$PQRV,27,CF");
    const Result torn = Dump({ "--check", joined });
    EXPECT_EQ(torn.exitCode, 1);
    EXPECT_EQ(torn.out, joined + ": torn line 6 at offset " + std::to_string(lines.size()) +
                            ": 11 bytes without a line end\n"
                            "  types    25: 2, 26: 2, 27: 0, other: 1\n"
                            "  start    2 sentences remembered\n"
                            "    1: $PQRV,25,1,0.50*3A\\r\n"
                            "    3: $PQRV,26,1,12.0*0C\\r\n");

    const Result listed = Dump({ "--records", joined });
    EXPECT_EQ(listed.exitCode, 1);
    EXPECT_EQ(listed.out.substr(0, listed.out.find('\n', listed.out.find('\n') + 1) + 1),
              "1: $PQRV,25,1,0.50*3A\\r\n2: $GPZDA,235958.00,31,01,2025*6B\\r\n");
    EXPECT_NE(listed.err.find(": torn line 6 at offset "), std::string::npos) << listed.err;

    const std::string plain = HandMade("sensor.txt", lines);
    const Result count = Dump({ "--count", "--p2x", plain, logged });
    EXPECT_EQ(count.exitCode, 0);
    EXPECT_EQ(count.out, "9\n");
}

TEST_F(QhvDump, ReadsFilesManyTimesItsBufferWhole)
{
    // 100 000 heave datagrams at 10 a second, each tenth followed by a 52-byte
    // one, with one step of 100 s half-way: about 2 MB.
    std::vector<std::string> datagrams;
    for (std::uint32_t n = 0; n < 100000; ++n) {
        const std::uint32_t epoch = T0 + n / 10 + (n >= 50000 ? 100 : 0);
        datagrams.push_back(Heave('R', epoch));
        if (n % 10 == 9) {
            datagrams.push_back(Heave('S', epoch));
        }
    }
    const std::string heave = WriteLogged("large.qhv", datagrams);
    ASSERT_GT(fs::file_size(heave), 6 * qhvdump::CRecordReader::DefaultBufferSize);
    EXPECT_EQ(Dump({ "--count", heave }).out, "110000\n");
    const std::string summary = Dump({ "--summary", heave }).out;
    EXPECT_NE(summary.find("  gap      2025-02-01 01:23:17 to 2025-02-01 01:24:58, 101 s\n"
                           "  last     2025-02-01 02:48:17\n"
                           "  records  110000: R 100000, S 10000, ? 0\n"
                           "  gaps     1 longer than 2 s\n"
                           "  rate     10.89 records/s over 10099 s\n"),
              std::string::npos)
        << summary;

    // Records and lines of every length a logger can write, through the
    // smallest buffers that hold them: each refill moves a part-read one.
    std::mt19937 random(7);
    std::string records;
    std::string lines;
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        const std::size_t length = std::uniform_int_distribution<std::size_t>(0, 65535)(random);
        expected.push_back(std::string(length, static_cast<char>('a' + i % 26)));
        records += Record(expected.back());
        lines += (i == 299 ? std::string(65536, 'z') : expected.back()) + "\n";
    }
    const std::string recordFile = HandMade("random.qhv", records);
    const std::string lineFile = HandMade("random.p2x", lines + std::string(65537, 'y') + "\nafter\n");

    qhvdump::CRecordReader recordReader(recordFile, 1);
    qhvdump::CLineReader lineReader(lineFile, 1);
    qhvdump::Record record;
    qhvdump::Line line;
    std::uint64_t recordOffset = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::string text = i == 299 ? std::string(65536, 'z') : expected[i];
        ASSERT_TRUE(recordReader.Next(record)) << i;
        ASSERT_TRUE(lineReader.Next(line)) << i;
        ASSERT_EQ(record.index, i);
        ASSERT_EQ(record.offset, recordOffset);
        ASSERT_EQ(record.bytes, expected[i]) << "record " << i;
        ASSERT_EQ(line.number, i + 1);
        ASSERT_EQ(line.text, text) << "line " << i + 1;
        recordOffset += 2 + expected[i].size();
    }
    EXPECT_FALSE(recordReader.Next(record));
    EXPECT_EQ(recordReader.Torn(), "");
    // Longer than any datagram: no logger wrote it, reading stops there.
    EXPECT_FALSE(lineReader.Next(line));
    EXPECT_EQ(lineReader.Torn(), "overlong line 301 at offset " + std::to_string(lines.size()) +
                                     ": more than 65536 bytes without a line end");
}

// The overlong line, its line end and the next line all fit in the default
// buffer: the line is still overlong and reading stops there, as it does with
// the smallest buffer.
TEST_F(QhvDump, AnOverlongLineStopsReadingWhateverTheBufferHolds)
{
    const std::string file = HandMade("overlong.p2x", "$PQRV,25,1\n" + std::string(65537, 'y') + "\nafter\n");
    qhvdump::CLineReader reader(file);
    qhvdump::Line line;
    ASSERT_TRUE(reader.Next(line));
    EXPECT_EQ(line.text, "$PQRV,25,1");
    EXPECT_FALSE(reader.Next(line));
    EXPECT_EQ(reader.Torn(), "overlong line 2 at offset 11: more than 65536 bytes without a line end");
    EXPECT_EQ(Dump({ "--check", file }).exitCode, 1);
}

TEST_F(QhvDump, HelpExitsZeroBadCommandLinesTwoAndUnreadableFilesOne)
{
    const Result help = Dump({ "--check", "--help" });
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("Usage: qhvdump", 0), 0u) << help.out;
    EXPECT_EQ(help.err, "");

    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        { {}, "no FILE given" },
        { { "--check", "--count", "a.qhv" }, "--check and --count do not go together" },
        { { "--gap", "5", "a.qhv" }, "--gap goes with --summary only" },
        { { "--summary", "--gap" }, "--gap needs a value" },
        { { "--qhv", "--p2x", "a.qhv" }, "--qhv and --p2x do not go together" },
        { { "a.txt" }, "cannot tell what \"a.txt\" holds" },
        { { "--csv", "a.qhv", "b.p2x" }, "--csv lists .qhv records only; \"b.p2x\"" },
        { { "--bogus", "a.qhv" }, "unknown option \"--bogus\"" },
    };
    for (const auto& [arguments, reason] : cases) {
        const Result result = Dump(arguments);
        EXPECT_EQ(result.exitCode, 2) << ::testing::PrintToString(arguments);
        EXPECT_EQ(result.err.rfind("qhvdump: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("\nTry 'qhvdump --help'.\n"), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 2) << result.err;
    }

    // Nothing is printed when any file cannot be read.
    const std::string good = WriteLogged("good.qhv", { Heave('R', T0) });
    const std::string missing = (m_dir.path() / "missing.qhv").string();
    fs::create_directory(m_dir.path() / "folder.qhv");
    const Result absent = Dump({ "--check", good, missing });
    EXPECT_EQ(absent.exitCode, 1);
    EXPECT_EQ(absent.out, "");
    EXPECT_EQ(absent.err, "qhvdump: cannot open \"" + missing + "\": No such file or directory\n");
    const Result folder = Dump({ (m_dir.path() / "folder.qhv").string() });
    EXPECT_EQ(folder.exitCode, 1);
    EXPECT_NE(folder.err.find("folder.qhv\": it is a folder\n"), std::string::npos) << folder.err;
}

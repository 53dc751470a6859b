// qhvdump shows what the loggers wrote: the records of .qhv heave files and the
// lines of .p2x sentence files, listed, checked, counted, summed up or as CSV.
// Files of any size pass through one fixed buffer each. One thread.
#include "DumpText.h"
#include "Follow.h"
#include "Plot.h"
#include "ToolSupport.h"

#include "formats/QhvReader.h"
#include "formats/RememberedSentences.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using qhvdump::CLineReader;
using qhvdump::CRecordReader;
using qhvdump::CUtcCache;
using qhvdump::FileKind;
using qhvdump::InputFile;
using qhvdump::Line;
using qhvdump::Record;

const char Usage[] = R"(Usage: qhvdump [MODE] [--qhv | --p2x] FILE...
       qhvdump --follow [--summary] [--qhv | --p2x] PATH
       qhvdump --plot OUT.png|OUT.svg [--gap SECONDS] FILE...

Shows what QHVLogger wrote: the records of .qhv heave files (each a 16-bit
little-endian length, then the datagram as received) and the lines of .p2x
files (one $PQRV sentence a line). Files of any size are read through a fixed
buffer.

Modes, one a call (default --records):
  --records           one line per record: index (from 0), length, kind ('R' a
                      13-byte heave datagram 0xAA 'R', 'S' a 52-byte one 0xAA 'S',
                      '?' anything else), the UTC time in bytes 2..5 ('-' when
                      the record is shorter than 6 bytes), the bytes in hex.
                      .p2x files: each line, numbered from 1
  --check             one line per file: "FILE: N records, ok", or the file's
                      first problem: a torn last record, a length 0, or a record
                      that is no 13-byte 'R' or 52-byte 'S' datagram starting
                      0xAA. .p2x files: the line count (a last line without a
                      line end is torn), the sentences per type and the ones
                      remembered at the file's start
  --count             the number of whole records (.p2x: lines) in all the
                      files together, one number
  --summary           per file the records of each kind, the first and last
                      time, every gap between consecutive times longer than
                      the --gap and the mean rate over the time span.
                      .p2x files: as --check
  --gap SECONDS       with --summary: the longest step that is no gap (default 2)
  --csv               the header "index,offset,length,kind,epoch,utc,hex" and
                      one row per record (.qhv files only); with several files
                      a first column "file"

  --qhv, --p2x        read every FILE as that kind; without them the extension
                      tells, .qhv or .p2x in any letter case
  --follow            follow PATH as the logger writes it: each whole record
                      or line is printed once it is all there, from the
                      file's start on. PATH a folder: its newest .qhv or .p2x
                      file, and each newer one that appears (a rotation) once
                      the one before has been read to its end, each after a
                      line "==> FILE <==". With --summary one line a second
                      instead: the time, the records (or lines) a second, the
                      file and its records so far. Ends on Ctrl-C or SIGTERM
                      with exit code 0
  --plot OUT          draw OUT (.png or .svg) with gnuplot: the heave
                      datagrams per second over the records' times, the gaps
                      longer than --gap shaded (default 2 s), the start of
                      each .qhv file and of each .p2x file (the P2X logger
                      starts one when a sentence changes, at the time in its
                      name) marked. Needs the Debian package gnuplot-nox

  -h, --help          show this text

Examples:
  qhvdump --check /data/heave/*.qhv
  qhvdump --summary --gap 5 heave_20250131.qhv
  qhvdump --csv heave.qhv > heave.csv
  qhvdump --follow --summary /var/lib/qhvlogger/c/survey/qhv
  qhvdump --plot day.svg /data/heave/*.qhv /data/p2x/*.p2x

Exit code 0 when all went well; 1 when a file cannot be read or ends in a torn
record or line, and with --check and --count also when a record is malformed;
2 for a bad command line.
)";

enum class Mode { Records, Check, Count, Summary, Csv };

struct ModeOption {
    const char* option;
    Mode mode;
};

const ModeOption ModeOptions[] = {
    { "--records", Mode::Records }, { "--check", Mode::Check }, { "--count", Mode::Count },
    { "--summary", Mode::Summary }, { "--csv", Mode::Csv },
};

struct DumpOptions {
    Mode mode = Mode::Records;
    std::uint32_t gap = 2;
    std::vector<InputFile> files;
    std::optional<qhvdump::FollowOptions> follow;
    std::optional<qhvdump::PlotOptions> plot;
};

std::vector<InputFile> FilesOf(const std::vector<std::string>& paths, std::optional<FileKind> forced, Mode mode)
{
    std::vector<InputFile> files;
    for (const std::string& path : paths) {
        const std::optional<FileKind> kind = forced ? forced : qhvdump::KindByExtension(path);
        if (!kind) {
            throw tools::UsageError("cannot tell what " + tools::Quoted(path) +
                                    " holds: name it .qhv or .p2x, or give --qhv or --p2x");
        }
        if (mode == Mode::Csv && *kind == FileKind::P2x) {
            throw tools::UsageError("--csv lists .qhv records only; " + tools::Quoted(path) + " is read as .p2x");
        }
        files.push_back({ path, *kind });
    }
    return files;
}

// The options of --follow and --plot, which go with no other mode but
// --follow --summary.
DumpOptions ToolOptions(bool follow, const std::optional<std::string>& plotOutput,
                        const std::optional<std::string>& modeGiven, std::optional<FileKind> forced, bool gapGiven,
                        DumpOptions options, const std::vector<std::string>& paths)
{
    const std::string tool = follow ? "--follow" : "--plot";
    if (follow && plotOutput) {
        throw tools::UsageError("--follow and --plot do not go together");
    }
    if (modeGiven && !(follow && options.mode == Mode::Summary)) {
        throw tools::UsageError(tool + " and " + *modeGiven + " do not go together");
    }
    if (paths.empty()) {
        throw tools::UsageError(follow ? "no PATH given" : "no FILE given");
    }
    if (plotOutput) {
        const std::optional<qhvdump::PictureFormat> format = qhvdump::PictureFormatOf(*plotOutput);
        if (!format) {
            throw tools::UsageError("--plot: " + tools::Quoted(*plotOutput) + " is no .png or .svg file name");
        }
        options.plot = qhvdump::PlotOptions { *plotOutput, *format, options.gap, FilesOf(paths, forced, options.mode) };
        return options;
    }
    if (gapGiven) {
        throw tools::UsageError("--gap does not go with --follow");
    }
    if (paths.size() > 1) {
        throw tools::UsageError("--follow takes one PATH, a file or a folder");
    }
    qhvdump::FollowOptions following { paths.front(), forced, options.mode == Mode::Summary };
    if (!std::filesystem::is_directory(paths.front())) {
        following.kind = FilesOf(paths, forced, options.mode).front().kind;
    }
    options.follow = following;
    return options;
}

// Reads the options; nullopt when the help text was asked for (and printed).
std::optional<DumpOptions> ReadOptions(int argc, char* argv[])
{
    tools::ArgumentCursor arguments(argc, argv);
    if (arguments.AsksForHelp()) {
        std::fputs(Usage, stdout);
        return std::nullopt;
    }
    DumpOptions options;
    std::optional<std::string> modeGiven;
    std::optional<FileKind> forced;
    bool gapGiven = false;
    bool follow = false;
    std::optional<std::string> plotOutput;
    std::vector<std::string> paths;
    while (!arguments.Done()) {
        const tools::Argument argument = arguments.Next();
        const std::string& name = argument.text;
        if (!argument.isOption) {
            paths.push_back(name);
            continue;
        }
        const ModeOption* mode = nullptr;
        for (const ModeOption& candidate : ModeOptions) {
            if (name == candidate.option) {
                mode = &candidate;
            }
        }
        if (mode != nullptr) {
            tools::ArgumentCursor::NoValue(argument);
            if (modeGiven) {
                throw tools::UsageError(*modeGiven + " and " + name + " do not go together: one mode a call");
            }
            modeGiven = name;
            options.mode = mode->mode;
        } else if (name == "--qhv" || name == "--p2x") {
            tools::ArgumentCursor::NoValue(argument);
            const FileKind kind = name == "--qhv" ? FileKind::Qhv : FileKind::P2x;
            if (forced && *forced != kind) {
                throw tools::UsageError("--qhv and --p2x do not go together");
            }
            forced = kind;
        } else if (name == "--follow") {
            tools::ArgumentCursor::NoValue(argument);
            follow = true;
        } else if (name == "--plot") {
            plotOutput = arguments.ValueOf(argument);
        } else if (name == "--gap") {
            const std::string seconds = arguments.ValueOf(argument);
            options.gap = static_cast<std::uint32_t>(tools::WholeNumber(name, seconds, 0, UINT32_MAX));
            gapGiven = true;
        } else {
            throw tools::UsageError("unknown option " + tools::Quoted(name));
        }
    }

    if (follow || plotOutput) {
        return ToolOptions(follow, plotOutput, modeGiven, forced, gapGiven, options, paths);
    }
    if (paths.empty()) {
        throw tools::UsageError("no FILE given");
    }
    if (gapGiven && options.mode != Mode::Summary) {
        throw tools::UsageError("--gap goes with --summary only");
    }
    options.files = FilesOf(paths, forced, options.mode);
    return options;
}

void Out(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// A problem beside the output, on standard error after what was printed so far.
void Note(const std::string& path, const std::string& problem)
{
    std::fflush(stdout);
    std::fprintf(stderr, "qhvdump: %s: %s\n", path.c_str(), problem.c_str());
}

std::string Counted(std::uint64_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Each record on one line: "index length kind time hex".
bool ListRecords(const std::string& path)
{
    CRecordReader reader(path);
    CUtcCache utc;
    Record record;
    while (reader.Next(record)) {
        Out(qhvdump::RecordText(record.index, record.bytes, utc));
    }
    if (!reader.Torn().empty()) {
        Note(path, reader.Torn());
        return false;
    }
    return true;
}

// Each line numbered, its control bytes as escapes ("\r").
bool ListLines(const std::string& path)
{
    CLineReader reader(path);
    Line line;
    while (reader.Next(line)) {
        Out(qhvdump::LineText(line.number, line.text));
    }
    if (!reader.Torn().empty()) {
        Note(path, reader.Torn());
        return false;
    }
    return true;
}

std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? "\"\"" : std::string(1, c);
    }
    return quoted + "\"";
}

// One row per record; `fileColumn` puts the path first.
bool CsvRecords(const std::string& path, bool fileColumn)
{
    CRecordReader reader(path);
    CUtcCache utc;
    const std::string file = fileColumn ? CsvField(path) + "," : "";
    Record record;
    std::string row;
    while (reader.Next(record)) {
        row = file + std::to_string(record.index) + "," + std::to_string(record.offset) + "," +
              std::to_string(record.bytes.size()) + "," + qhvdump::KindOf(record.bytes) + ",";
        if (const std::optional<std::uint32_t> epoch = qhvdump::EpochOf(record.bytes)) {
            row += std::to_string(*epoch) + "," + utc.Text(*epoch);
        } else {
            row += ",";
        }
        row += ',';
        qhvdump::AppendHex(row, record.bytes);
        row += '\n';
        Out(row);
    }
    if (!reader.Torn().empty()) {
        Note(path, reader.Torn());
        return false;
    }
    return true;
}

// The whole records of a .qhv file and its first problem, if any.
struct RecordScan {
    std::uint64_t records = 0;
    std::string problem;
};

RecordScan ScanRecords(const std::string& path)
{
    CRecordReader reader(path);
    RecordScan scan;
    Record record;
    while (reader.Next(record)) {
        ++scan.records;
        if (scan.problem.empty()) {
            const std::string problem = qhvdump::RecordProblem(record.bytes);
            if (!problem.empty()) {
                scan.problem = "malformed record " + std::to_string(record.index) + " at offset " +
                               std::to_string(record.offset) + ": " + problem;
            }
        }
    }
    if (scan.problem.empty()) {
        scan.problem = reader.Torn();
    }
    return scan;
}

// The remembered sentences are kept for printing up to this many bytes, so a
// hand-made file of countless distinct sentences cannot fill the memory.
constexpr std::size_t MaxRememberedBytes = 1024 * 1024;

struct LineScan {
    std::uint64_t lines = 0;
    std::uint64_t type25 = 0;
    std::uint64_t type26 = 0;
    std::uint64_t type27 = 0;
    std::uint64_t other = 0;
    // Number and text of each sentence remembered at the file's start.
    std::vector<std::pair<std::uint64_t, std::string>> remembered;
    bool rememberedCut = false;
    std::string problem;
};

// Counts the lines; `withSentences` also counts the types and follows the P2X
// logger's own rule over the leading lines: those new to an empty remembered
// set are the sentences it remembered when it opened the file, up to the first
// line that it already knew or that would have changed one.
LineScan ScanLines(const std::string& path, bool withSentences)
{
    CLineReader reader(path);
    LineScan scan;
    CRememberedSentences start;
    bool following = withSentences;
    std::size_t keptBytes = 0;
    Line line;
    while (reader.Next(line)) {
        ++scan.lines;
        if (!withSentences) {
            continue;
        }
        switch (qhvdump::SentenceType(line.text)) {
        case 25: ++scan.type25; break;
        case 26: ++scan.type26; break;
        case 27: ++scan.type27; break;
        default: ++scan.other; break;
        }
        if (!following) {
            continue;
        }
        switch (start.Take(line.text)) {
        case CRememberedSentences::Outcome::New:
            if (keptBytes + line.text.size() > MaxRememberedBytes) {
                scan.rememberedCut = true;
                following = false;
            } else {
                keptBytes += line.text.size();
                scan.remembered.emplace_back(line.number, std::string(line.text));
            }
            break;
        case CRememberedSentences::Outcome::Ignored:
            break;  // no sentence the logger remembers: it leaves the set as it is
        case CRememberedSentences::Outcome::Known:
        case CRememberedSentences::Outcome::Changed:
            following = false;
            break;
        }
    }
    scan.problem = reader.Torn();
    return scan;
}

// The lines after a .p2x file's first line under --check and --summary.
void PrintSentences(const LineScan& scan)
{
    Out("  types    25: " + std::to_string(scan.type25) + ", 26: " + std::to_string(scan.type26) +
        ", 27: " + std::to_string(scan.type27) + ", other: " + std::to_string(scan.other) + "\n");
    std::string start = "  start    " + Counted(scan.remembered.size(), "sentence", "sentences") + " remembered";
    if (scan.rememberedCut) {
        start += ", the listing cut at " + std::to_string(MaxRememberedBytes) + " bytes";
    }
    Out(start + "\n");
    for (const auto& [number, text] : scan.remembered) {
        Out("    " + std::to_string(number) + ": " + tools::Shown(text) + "\n");
    }
}

bool CheckFile(const InputFile& file)
{
    if (file.kind == FileKind::Qhv) {
        const RecordScan scan = ScanRecords(file.path);
        Out(file.path + ": " + (scan.problem.empty() ? Counted(scan.records, "record", "records") + ", ok"
                                                     : scan.problem) + "\n");
        return scan.problem.empty();
    }
    const LineScan scan = ScanLines(file.path, true);
    Out(file.path + ": " + (scan.problem.empty() ? Counted(scan.lines, "line", "lines") + ", ok" : scan.problem) +
        "\n");
    PrintSentences(scan);
    return scan.problem.empty();
}

// Per .qhv file the time line as it goes (first time, each gap, last time),
// then the counts and the rate. The gaps are printed as found: a file may hold
// any number of them.
bool SummarizeRecords(const std::string& path, std::uint32_t gap)
{
    Out(path + ":\n");
    CRecordReader reader(path);
    CUtcCache utc;
    std::uint64_t perKind[3] = {};  // R, S, ?
    std::uint64_t gaps = 0;
    std::optional<std::uint32_t> first;
    std::optional<std::uint32_t> last;
    Record record;
    while (reader.Next(record)) {
        const char kind = qhvdump::KindOf(record.bytes);
        ++perKind[kind == 'R' ? 0 : kind == 'S' ? 1 : 2];
        const std::optional<std::uint32_t> epoch = qhvdump::EpochOf(record.bytes);
        if (!epoch) {
            continue;
        }
        if (!first) {
            first = epoch;
            Out("  first    " + utc.Text(*epoch) + "\n");
        } else if (*epoch > *last && *epoch - *last > gap) {
            ++gaps;
            std::string line = "  gap      " + utc.Text(*last) + " to ";
            line += utc.Text(*epoch) + ", " + std::to_string(*epoch - *last) + " s\n";
            Out(line);
        }
        last = epoch;
    }
    const std::uint64_t records = perKind[0] + perKind[1] + perKind[2];
    if (!first) {
        Out("  first    -\n");
    }
    Out("  last     " + (last ? utc.Text(*last) : std::string("-")) + "\n");
    Out("  records  " + std::to_string(records) + ": R " + std::to_string(perKind[0]) + ", S " +
        std::to_string(perKind[1]) + ", ? " + std::to_string(perKind[2]) + "\n");
    Out("  gaps     " + std::to_string(gaps) + " longer than " + std::to_string(gap) + " s\n");
    if (first && *last > *first) {
        const std::uint32_t span = *last - *first;
        char rate[96];
        std::snprintf(rate, sizeof rate, "  rate     %.2f records/s over %u s\n",
                      static_cast<double>(records) / span, span);
        Out(rate);
    } else {
        Out("  rate     -\n");
    }
    if (!reader.Torn().empty()) {
        Out("  " + reader.Torn() + "\n");
        return false;
    }
    return true;
}

bool SummarizeFile(const InputFile& file, std::uint32_t gap)
{
    if (file.kind == FileKind::Qhv) {
        return SummarizeRecords(file.path, gap);
    }
    const LineScan scan = ScanLines(file.path, true);
    Out(file.path + ": " + Counted(scan.lines, "line", "lines") + "\n");
    PrintSentences(scan);
    if (!scan.problem.empty()) {
        Out("  " + scan.problem + "\n");
        return false;
    }
    return true;
}

// One number over all the files; each file's first problem on standard error.
bool CountAll(const std::vector<InputFile>& files)
{
    std::uint64_t total = 0;
    bool ok = true;
    for (const InputFile& file : files) {
        std::string problem;
        if (file.kind == FileKind::Qhv) {
            const RecordScan scan = ScanRecords(file.path);
            total += scan.records;
            problem = scan.problem;
        } else {
            const LineScan scan = ScanLines(file.path, false);
            total += scan.lines;
            problem = scan.problem;
        }
        if (!problem.empty()) {
            Note(file.path, problem);
            ok = false;
        }
    }
    Out(std::to_string(total) + "\n");
    return ok;
}

bool Dump(const DumpOptions& options)
{
    if (options.mode == Mode::Count) {
        return CountAll(options.files);
    }
    const bool several = options.files.size() > 1;
    if (options.mode == Mode::Csv) {
        Out(several ? "file,index,offset,length,kind,epoch,utc,hex\n" : "index,offset,length,kind,epoch,utc,hex\n");
    }
    bool ok = true;
    for (std::size_t i = 0; i < options.files.size(); ++i) {
        const InputFile& file = options.files[i];
        switch (options.mode) {
        case Mode::Records:
            if (several) {
                Out((i > 0 ? "\n==> " : "==> ") + file.path + " <==\n");
            }
            ok = (file.kind == FileKind::Qhv ? ListRecords(file.path) : ListLines(file.path)) && ok;
            break;
        case Mode::Check:
            ok = CheckFile(file) && ok;
            break;
        case Mode::Summary:
            ok = SummarizeFile(file, options.gap) && ok;
            break;
        case Mode::Csv:
            ok = CsvRecords(file.path, several) && ok;
            break;
        case Mode::Count:
            break;
        }
    }
    return ok;
}

}  // namespace

int main(int argc, char* argv[])
{
    static char outputBuffer[1 << 16];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    return tools::RunTool("qhvdump", [&] {
        const std::optional<DumpOptions> options = ReadOptions(argc, argv);
        if (!options) {
            return 0;
        }
        if (options->follow) {
            return qhvdump::Follow(*options->follow);
        }
        // A file that cannot be opened stops the call before anything is printed.
        for (const InputFile& file : options->plot ? options->plot->files : options->files) {
            qhvdump::CFileWindow probe(file.path, 1);
        }
        if (options->plot) {
            return qhvdump::Plot(*options->plot) ? 0 : 1;
        }
        bool ok = false;
        try {
            ok = Dump(*options);
        } catch (...) {
            std::fflush(stdout);  // what was printed comes before the reason for stopping
            throw;
        }
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            throw std::runtime_error(std::string("cannot write the output: ") + std::strerror(errno));
        }
        return ok ? 0 : 1;
    });
}

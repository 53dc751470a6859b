#include "Plot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qhvdump {

namespace {

namespace fs = std::filesystem;

void Note(const std::string& path, const std::string& problem)
{
    std::fflush(stdout);
    std::fprintf(stderr, "qhvdump: %s: %s\n", path.c_str(), problem.c_str());
}

// Where a file starts on the time line: a .qhv file at its first record's time,
// a .p2x file (whose $PQRV lines carry no time) at the time in its name.
struct Mark {
    std::uint32_t time = 0;
    bool p2x = false;
    std::string label;
};

struct Timeline {
    std::map<std::uint32_t, std::uint64_t> perSecond;  // records with that time
    std::vector<Mark> marks;
    std::uint64_t records = 0;
};

// The UTC time a logger put into a file name through its time tokens: the first
// run of 14 digits (year to second), 12 digits (year to minute) or 10 digits
// (seconds since 1970) in the name.
std::optional<std::uint32_t> TimeInName(const std::string& name)
{
    for (std::size_t at = 0; at < name.size();) {
        if (!std::isdigit(static_cast<unsigned char>(name[at]))) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < name.size() && std::isdigit(static_cast<unsigned char>(name[end]))) {
            ++end;
        }
        const std::string digits = name.substr(at, end - at);
        at = end;
        if (digits.size() == 10) {
            return static_cast<std::uint32_t>(std::stoul(digits));
        }
        if (digits.size() != 14 && digits.size() != 12) {
            continue;
        }
        std::tm utc {};
        utc.tm_year = std::stoi(digits.substr(0, 4)) - 1900;
        utc.tm_mon = std::stoi(digits.substr(4, 2)) - 1;
        utc.tm_mday = std::stoi(digits.substr(6, 2));
        utc.tm_hour = std::stoi(digits.substr(8, 2));
        utc.tm_min = std::stoi(digits.substr(10, 2));
        utc.tm_sec = digits.size() == 14 ? std::stoi(digits.substr(12, 2)) : 0;
        const bool plausible = utc.tm_mon < 12 && utc.tm_mday >= 1 && utc.tm_mday <= 31 && utc.tm_hour < 24 &&
                               utc.tm_min < 60 && utc.tm_sec < 61;
        const std::time_t time = ::timegm(&utc);
        if (plausible && time > 0) {
            return static_cast<std::uint32_t>(time);
        }
    }
    return std::nullopt;
}

// When the file was made, if the file system keeps it.
std::optional<std::uint32_t> BirthTime(const std::string& path)
{
    struct statx status {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &status) == 0 && (status.stx_mask & STATX_BTIME) != 0) {
        return static_cast<std::uint32_t>(status.stx_btime.tv_sec);
    }
    return std::nullopt;
}

bool ReadRecords(const std::string& path, Timeline& timeline)
{
    CRecordReader reader(path);
    Record record;
    bool first = true;
    while (reader.Next(record)) {
        const std::optional<std::uint32_t> epoch = EpochOf(record.bytes);
        if (!epoch) {
            continue;
        }
        ++timeline.perSecond[*epoch];
        ++timeline.records;
        if (first) {
            timeline.marks.push_back({ *epoch, false, fs::path(path).filename().string() });
            first = false;
        }
    }
    if (!reader.Torn().empty()) {
        Note(path, reader.Torn());
        return false;
    }
    return true;
}

// A new .p2x file: a sentence changed (or logging was switched on, or the
// interval ended). Marked with the first sentence's type and key, which is the
// changed one when a change started the file.
bool ReadLines(const std::string& path, Timeline& timeline)
{
    CLineReader reader(path);
    Line line;
    std::string first;
    while (reader.Next(line)) {
        if (first.empty() && SentenceType(line.text) != 0) {
            const std::string text(line.text);
            std::size_t cut = 0;
            for (int field = 0; field < 3 && cut != std::string::npos; ++field) {
                cut = text.find(',', cut == 0 ? 0 : cut + 1);
            }
            first = text.substr(0, cut);
        }
    }
    const std::string name = fs::path(path).filename().string();
    std::optional<std::uint32_t> start = TimeInName(name);
    if (!start) {
        start = BirthTime(path);
    }
    if (start) {
        timeline.marks.push_back({ *start, true, name + (first.empty() ? "" : " " + first) });
    } else {
        Note(path, "no time in its name and none kept by the file system: not marked");
    }
    if (!reader.Torn().empty()) {
        Note(path, reader.Torn());
        return false;
    }
    return true;
}

// A text inside a gnuplot string in single quotes, where only the quote itself
// needs doubling. Labels come from the files, that is from the network: a line
// end or other control byte, which would end the string's command and start
// one of the text's own, becomes a space.
std::string GnuplotText(const std::string& text)
{
    std::string quoted = "'";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\'') {
            quoted += "''";
        } else {
            quoted += byte < 0x20 || byte == 0x7f ? ' ' : c;
        }
    }
    return quoted + "'";
}

// The program's path when it is in a folder of PATH.
std::optional<std::string> FindProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0 && !fs::is_directory(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

// A row "second count" for each second with records, drawn as steps: the
// count holds from that second to the next row. A second without records
// after one with them gets a row of 0, which holds through any quiet time
// after it, a gap included. Returns the gaps as (last second before, first
// second after).
std::vector<std::pair<std::uint32_t, std::uint32_t>> WriteRates(const Timeline& timeline, std::uint32_t gap,
                                                                std::ostream& data)
{
    std::vector<std::pair<std::uint32_t, std::uint32_t>> gaps;
    std::optional<std::uint32_t> previous;
    for (const auto& [second, count] : timeline.perSecond) {
        if (previous && second - *previous > gap) {
            gaps.emplace_back(*previous, second);
        }
        if (previous && second - *previous > 1) {
            data << *previous + 1 << " 0\n";
        }
        data << second << " " << count << "\n";
        previous = second;
    }
    if (previous) {
        data << *previous + 1 << " 0\n";
    }
    return gaps;
}

std::string Script(const PlotOptions& options, const Timeline& timeline, const std::string& dataPath,
                   const std::vector<std::pair<std::uint32_t, std::uint32_t>>& gaps)
{
    std::uint32_t first = UINT32_MAX;
    std::uint32_t last = 0;
    for (const auto& [second, count] : timeline.perSecond) {
        first = std::min(first, second);
        last = std::max(last, second);
    }
    for (const Mark& mark : timeline.marks) {
        first = std::min(first, mark.time);
        last = std::max(last, mark.time);
    }
    const std::uint32_t margin = std::max<std::uint32_t>(1, (last - first) / 40);

    const char* const FileColour = "#1a73e8";
    const char* const P2xColour = "#e37400";
    const char* const GapColour = "#f4c7c3";
    std::ostringstream script;
    const std::string size = "size 1400,600 noenhanced font ',10'";
    if (options.format == PictureFormat::Svg) {
        script << "set terminal svg " << size << " background rgb 'white'\n";
    } else {
        // pngcairo draws smoother; plain png is what a gnuplot without cairo has.
        script << "if (strstrt(GPVAL_TERMINALS, 'pngcairo') > 0) {\n"
               << "  set terminal pngcairo " << size << "\n} else {\n  set terminal png " << size << "\n}\n";
    }
    script << "set output " << GnuplotText(options.output) << "\n"
           << "set title " << GnuplotText("QHVLogger files, " + UtcText(first) + " to " + UtcText(last) + " UTC: " +
                                          std::to_string(timeline.records) + " heave records in " +
                                          std::to_string(options.files.size()) + " files")
           << "\n"
           << "set xdata time\nset timefmt '%s'\n"
           << "set format x " << (last - first > 6 * 3600 ? "'%H:%M'" : "'%H:%M:%S'") << "\n"
           << "set xlabel 'UTC'\nset ylabel 'heave datagrams per second'\n"
           << "set xrange [" << first - margin << ":" << last + margin << "]\n"
           << (timeline.perSecond.empty() ? "set yrange [0:1]\n" : "set yrange [0:*]\n")
           << "set offsets 0, 0, graph 0.15, 0\nset grid ytics\n"
           << "set key below horizontal\n";
    for (const auto& [before, after] : gaps) {
        script << "set object rect from " << before << ", graph 0 to " << after << ", graph 1 behind fc rgb '"
               << GapColour << "' fs solid 0.7 noborder\n";
    }
    // A label per file while they fit; a day of short files gets the lines only.
    const bool labelled = timeline.marks.size() <= 60;
    for (const Mark& mark : timeline.marks) {
        const char* colour = mark.p2x ? P2xColour : FileColour;
        script << "set arrow from " << mark.time << ", graph 0 to " << mark.time << ", graph 1 nohead lc rgb '"
               << colour << "' dt " << (mark.p2x ? 3 : 2) << "\n";
        if (labelled) {
            script << "set label " << GnuplotText(mark.label) << " at " << mark.time << ", graph "
                   << (mark.p2x ? "0.02 left rotate by 90 offset 1.2,0" : "0.98 right rotate by 90 offset -0.6,0")
                   << " tc rgb '" << colour
                   << "' font ',8'\n";
        }
    }
    script << "plot " << (timeline.perSecond.empty() ? "NaN" : GnuplotText(dataPath) + " using 1:2")
           << " with steps lc rgb '#202124' title 'heave datagrams per second', \\\n"
           << "  NaN with lines lc rgb '" << FileColour << "' dt 2 title '.qhv file starts', \\\n"
           << "  NaN with lines lc rgb '" << P2xColour << "' dt 3 title 'new .p2x file (a sentence changed, a 173)', \\\n"
           << "  NaN with boxes fs solid 0.7 lc rgb '" << GapColour << "' title "
           << GnuplotText("gap longer than " + std::to_string(options.gap) + " s") << "\n";
    return script.str();
}

// Runs gnuplot on the script; its own messages go to standard error.
int RunGnuplot(const std::string& program, const std::string& script)
{
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child < 0) {
        throw std::runtime_error(std::string("cannot start gnuplot: ") + std::strerror(errno));
    }
    if (child == 0) {
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
        ::execl(program.c_str(), "gnuplot", script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::runtime_error(std::string("cannot wait for gnuplot: ") + std::strerror(errno));
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A folder of our own for the data and the script, gone with its owner unless kept.
class CWorkFolder {
public:
    CWorkFolder()
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qhvdump-plot.XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a temporary folder " + pattern + ": " + std::strerror(errno));
        }
        m_path = pattern;
    }
    ~CWorkFolder()
    {
        if (!m_keep) {
            std::error_code ignored;
            fs::remove_all(m_path, ignored);
        }
    }
    CWorkFolder(const CWorkFolder&) = delete;
    CWorkFolder& operator=(const CWorkFolder&) = delete;

    const std::string& Path() const { return m_path; }
    void Keep() { m_keep = true; }

private:
    std::string m_path;
    bool m_keep = false;
};

void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream file(path, std::ios::binary);
    file << text;
    file.close();
    if (!file) {
        throw std::runtime_error("cannot write \"" + path + "\"");
    }
}

}  // namespace

std::optional<PictureFormat> PictureFormatOf(const std::string& path)
{
    const std::string extension = LowerCaseExtension(path);
    if (extension == ".png") {
        return PictureFormat::Png;
    }
    if (extension == ".svg") {
        return PictureFormat::Svg;
    }
    return std::nullopt;
}

bool Plot(const PlotOptions& options)
{
    const std::optional<std::string> gnuplot = FindProgram("gnuplot");
    if (!gnuplot) {
        throw std::runtime_error("gnuplot is not installed; install the Debian package gnuplot-nox");
    }
    Timeline timeline;
    bool whole = true;
    for (const InputFile& file : options.files) {
        whole = (file.kind == FileKind::Qhv ? ReadRecords(file.path, timeline) : ReadLines(file.path, timeline)) &&
                whole;
    }
    if (timeline.perSecond.empty() && timeline.marks.empty()) {
        throw std::runtime_error("nothing to plot: no heave record with a time and no .p2x file with a start time");
    }

    CWorkFolder work;
    const std::string dataPath = work.Path() + "/rate.dat";
    const std::string scriptPath = work.Path() + "/plot.gp";
    std::ostringstream data;
    const auto gaps = WriteRates(timeline, options.gap, data);
    WriteText(dataPath, data.str());
    WriteText(scriptPath, Script(options, timeline, dataPath, gaps));

    const int exitCode = RunGnuplot(*gnuplot, scriptPath);
    std::error_code error;
    if (exitCode != 0 || fs::file_size(options.output, error) == 0 || error) {
        work.Keep();
        throw std::runtime_error("gnuplot drew no picture (exit code " + std::to_string(exitCode) +
                                 "); its script and data are kept in " + work.Path());
    }
    return whole;
}

}  // namespace qhvdump

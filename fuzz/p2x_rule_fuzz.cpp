// The P2X logger's rule of what a file holds (CRememberedSentences::Take), over
// a run of sentences, one per input line. Checked against what the rule
// promises, not how it is written: a text is New only when the file does not
// hold it yet, Known only when it does, Changed only when it does not (and then
// the file is closed, so the same text opens the next file as New); taking the
// same text twice in a row never reports it as new the second time. A line that
// starts with '!' stands for a sentence whose write to the file failed: the
// logger forgets it, and it must be New when it comes again.
#include "FuzzSupport.h"

#include "formats/RememberedSentences.h"

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace {

using Outcome = CRememberedSentences::Outcome;

const char* Name(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Ignored: return "Ignored";
    case Outcome::New: return "New";
    case Outcome::Known: return "Known";
    case Outcome::Changed: return "Changed";
    }
    return "?";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    CRememberedSentences remembered;
    std::set<std::string> inFile;  // the texts the current file holds

    std::size_t start = 0;
    while (start <= input.size()) {
        std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos) {
            end = input.size();
        }
        std::string text(input.substr(start, end - start));
        start = end + 1;
        const bool writeFails = !text.empty() && text[0] == '!';
        if (writeFails) {
            text.erase(0, 1);
        }

        const Outcome outcome = remembered.Take(text);
        const bool held = inFile.count(text) != 0;
        const std::string detail = fuzzsupport::Shown(text) + ": " + Name(outcome);
        switch (outcome) {
        case Outcome::Ignored:
            FUZZ_CHECK(!held, detail + ", though the file holds it");
            FUZZ_CHECK(remembered.Take(text) == Outcome::Ignored, detail + ", then not");
            break;
        case Outcome::New:
            FUZZ_CHECK(!held, detail + ", though the file holds it");
            FUZZ_CHECK(text.find("$PQRV,") != std::string::npos && text.size() > 9, detail);
            if (writeFails) {
                remembered.Forget(text);
                FUZZ_CHECK(remembered.Take(text) == Outcome::New, detail + ", not written, then not New again");
            }
            inFile.insert(text);
            FUZZ_CHECK(remembered.Take(text) == Outcome::Known, detail + ", then not Known");
            break;
        case Outcome::Known:
            FUZZ_CHECK(held, detail + ", though the file does not hold it");
            FUZZ_CHECK(remembered.Take(text) == Outcome::Known, detail + ", then not");
            break;
        case Outcome::Changed:
            FUZZ_CHECK(!held, detail + ", though the file holds it");
            // The logger closes the file and writes the sentence again: the first line of the next file.
            inFile.clear();
            FUZZ_CHECK(remembered.Take(text) == Outcome::New, detail + ", then not New in the next file");
            inFile.insert(text);
            break;
        }
    }
    return 0;
}

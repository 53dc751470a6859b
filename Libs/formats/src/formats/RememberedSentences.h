// The P2X logger's rule of what a .p2x file holds: each distinct $PQRV sentence
// of types 25 and 26 per key, and one of type 27, once per file; a sentence that
// differs from the remembered one starts the next file. Plain data, used by one
// thread at a time (the P2X logger's input thread, or a file reader).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// The sentences a P2X file holds once each: type 25 and 26 per key, one of type 27.
class CRememberedSentences {
public:
    enum class Outcome {
        Ignored,  // no sentence of a remembered type
        New,      // remembered now: write it
        Known,    // equal to the remembered one: nothing to write
        Changed,  // differs from the remembered one: everything is forgotten
    };

    // Classifies `text` (a sentence without its line end) and remembers it when new.
    Outcome Take(std::string_view text);

    // Forgets `text` when it is the sentence remembered for its type and key, so
    // that it counts as new when it comes again (its write to the file failed).
    void Forget(std::string_view text);

private:
    struct Place {
        std::int32_t type;
        std::int32_t key;
    };
    // Type and key of a $PQRV sentence long enough to hold both.
    static std::optional<Place> PlaceOf(std::string_view text);
    // The remembered sentence of that type and key, or null.
    const std::string* Remembered(const Place& place) const;

    std::map<std::int32_t, std::string> m_type25;
    std::map<std::int32_t, std::string> m_type26;
    std::optional<std::string> m_type27;
};

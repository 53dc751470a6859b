// qhvdump --follow: the records of a .qhv file or the lines of a .p2x file
// printed as the logger writes them, or a rate line every second; a folder is
// followed through its newest file across rotations. Main thread only.
#pragma once

#include "DumpText.h"

#include <optional>
#include <string>

namespace qhvdump {

struct FollowOptions {
    std::string path;               // a file, or a folder whose newest file is followed
    std::optional<FileKind> kind;   // the file's kind; for a folder the kind taken (nullopt: both)
    bool summary = false;           // a rate line every second instead of the records
};

// Follows until SIGINT or SIGTERM arrives, then returns 0. Throws
// std::runtime_error when the folder to watch cannot be watched or read.
int Follow(const FollowOptions& options);

}  // namespace qhvdump

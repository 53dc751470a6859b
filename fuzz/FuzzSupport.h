// What every fuzz target shares: a scratch drive root of its own (QHV_DRIVE_ROOT
// and ProgramData point into it before any static object of ours is built),
// Qt's messages silenced, and small file helpers. One thread: libFuzzer's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzzsupport {

// The scratch folder that stands for the drive letters; removed when the target ends.
std::string DriveRoot();

// Where the token store of the target looks for its token file (native path).
std::string TokenFilePath();

// Writes `size` bytes to `path`, replacing its content; aborts when that fails,
// since every later check would be meaningless.
void WriteWholeFile(const std::string& path, const void* bytes, std::size_t size);

// The file's content; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

// Bytes as C-style text (\x0d for a carriage return), for the report of a finding.
std::string Shown(const std::string& bytes);

// The comma-separated fields of the sentence's first line: the reference the
// field parsers are compared against.
std::vector<std::string> Fields(const std::string& sentence);

// Reports a failed property with the input's context and aborts, so libFuzzer
// keeps the input as a finding.
[[noreturn]] void Fail(const char* what, const std::string& detail);

}  // namespace fuzzsupport

// A property every input must keep.
#define FUZZ_CHECK(condition, detail)                                 \
    do {                                                              \
        if (!(condition)) {                                           \
            ::fuzzsupport::Fail(#condition, (detail));                \
        }                                                             \
    } while (false)

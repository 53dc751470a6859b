#include "db/DumpFile.h"

#include "platform/Paths.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

namespace {

// The dump-file names held by the live dump files of this process. Two
// objects of one name (several "Unknown" ones while the database is down, say)
// would write, rotate and delete each other's dump files; the second one to
// write gets the name with "_2" (or the next free number) added instead.
// Never destroyed: objects may go at any time up to the process's end.
struct DumpNames {
    std::mutex mutex;
    std::set<std::string> held;
};

DumpNames& HeldDumpNames()
{
    static DumpNames* const names = new DumpNames;
    return *names;
}

std::string ClaimDumpName(const std::string& wanted)
{
    DumpNames& names = HeldDumpNames();
    std::lock_guard<std::mutex> lock(names.mutex);
    std::string name = wanted;
    for (int n = 2; !names.held.insert(name).second; ++n) {
        name = wanted + "_" + std::to_string(n);
    }
    return name;
}

void ReleaseDumpName(const std::string& name)
{
    if (name.empty()) {
        return;
    }
    DumpNames& names = HeldDumpNames();
    std::lock_guard<std::mutex> lock(names.mutex);
    names.held.erase(name);
}

bool Exists(const std::string& path)
{
    std::FILE* probe = std::fopen(platform::NativePath(path).c_str(), "r");
    if (probe != nullptr) {
        std::fclose(probe);
    }
    return probe != nullptr;
}

}  // namespace

CDumpFile::~CDumpFile()
{
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    ReleaseDumpName(m_name);
}

std::string CDumpFile::pathOf(int index) const
{
    char path[sizeof m_path];
    std::snprintf(path, sizeof path, "c:\\Temp\\db_%s_%d.txt", m_name.c_str(), index);
    return path;
}

bool CDumpFile::open()
{
    if (m_name.empty()) {
        // Chosen once, at the first write: the files of an object keep one name.
        m_name = ClaimDumpName(m_wanted);
    }
    // The newest file is the one before the first gap.
    int chosen = 0;
    while (chosen < FileCount && Exists(pathOf(chosen))) {
        ++chosen;
    }
    if (chosen == FileCount) {
        chosen = 0;
        std::remove(platform::NativePath(pathOf(0)).c_str());
    }
    return openAt(chosen);
}

bool CDumpFile::openAt(int index)
{
    const std::string path = pathOf(index);
    m_file = std::fopen(platform::NativePath(path).c_str(), "w");
    if (m_file == nullptr) {
        return false;
    }
    const std::size_t length = std::min(path.size(), sizeof m_path - 1);
    std::memcpy(m_path, path.data(), length);
    m_path[length] = '\0';
    m_index = index;
    m_size = 0;
    // Deleting the file after the new one leaves a gap behind it for the next
    // object of this name.
    std::remove(platform::NativePath(pathOf((index + 1) % FileCount)).c_str());
    return true;
}

void CDumpFile::write(const char* text)
{
    if (text == nullptr) {
        return;
    }
    const std::size_t length = std::strlen(text);
    if (m_file != nullptr && m_size > 0 && m_size + length > FileLimit) {
        // A full file gives way to the next of the rotation (which is the gap).
        std::fclose(m_file);
        m_file = nullptr;
        if (!openAt((m_index + 1) % FileCount)) {
            return;
        }
    }
    if (m_file == nullptr && !open()) {
        return;
    }
    std::fputs(text, m_file);
    std::fflush(m_file);
    m_size += length;
}

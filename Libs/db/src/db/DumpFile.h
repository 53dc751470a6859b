// The dump file of a database object: short lines on failures and outages in
// "c:\Temp\db_<name>_<n>.txt", rotating over FileCount files with a gap (a
// missing file) after the newest. A name that another live dump file of the
// process already writes under gets "_2" (or the next free number) added, so no
// object rotates another's files. Used by the thread of its owner only.
#pragma once

#include <cstdio>
#include <string>

class CDumpFile {
public:
    static constexpr int FileCount = 40;
    // A file is not written beyond this size; the next text goes to the next
    // file of the rotation.
    static constexpr unsigned long FileLimit = 1UL << 20;

    CDumpFile() = default;
    // Closes the file and gives its name back to the process.
    ~CDumpFile();

    CDumpFile(const CDumpFile&) = delete;
    CDumpFile& operator=(const CDumpFile&) = delete;

    // The name the files are to have; only the name wanted at the first write counts.
    void setName(const char* name) { m_wanted = name != nullptr ? name : ""; }

    // Appends the text verbatim, choosing and opening the file on first use; a
    // text that would take the file beyond FileLimit opens the next file of the
    // rotation first. A text that finds no file to go into is dropped.
    void write(const char* text);
    void write(const std::string& text) { write(text.c_str()); }

    // The file in use, as the system names it; empty until the first write.
    const char* path() const { return m_path; }

private:
    // "c:\Temp\db_<dump name>_<index>.txt"
    std::string pathOf(int index) const;
    // Opens the file before the first gap of the rotation.
    bool open();
    // Opens (empties) file `index` and deletes the one after it, the new gap.
    bool openAt(int index);

    std::string m_wanted;
    std::string m_name;  // unique among the live dump files of the process; empty until the first write
    char m_path[64] = {};
    std::FILE* m_file = nullptr;
    int m_index = 0;             // number of the open file
    unsigned long m_size = 0;    // bytes written to it
};

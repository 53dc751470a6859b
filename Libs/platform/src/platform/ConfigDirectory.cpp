#include "platform/ConfigDirectory.h"

#include <cstdlib>

std::string ConfigDirectory()
{
    static constexpr char Placeholder[] = "%1";
    std::string directory = "%1\\Valdrena Marine\\";
    const char* programData = std::getenv("ProgramData");
    directory.replace(directory.find(Placeholder), sizeof Placeholder - 1,
                      programData != nullptr ? programData : "");
    return directory + "ntrx\\";
}

// The program QHVLogger: ACE is set up around the process entry.
#include "QHVLogger/QHV.h"

#include "platform/AceMain.h"

namespace {

class QhvMain : public platform::AceMain {
protected:
    int run_i(int argc, char* argv[]) override { return ace_main_i(argc, argv); }
};

}  // namespace

int main(int argc, char* argv[])
{
    QhvMain entry;
    return entry.run(argc, argv);
}

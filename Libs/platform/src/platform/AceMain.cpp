#include "platform/AceMain.h"

#include <ace/Init_ACE.h>

namespace platform {

int AceMain::run(int argc, char* argv[])
{
    ACE::init();
    const int result = run_i(argc, argv);
    ACE::fini();
    return result;
}

}  // namespace platform

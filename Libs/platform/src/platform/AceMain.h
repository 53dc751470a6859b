// The process entry wrapper: ACE is initialised around the application's own
// entry, as ACE's main wrapper does on the platforms that provide one (ACE on
// Linux has none). Used once, by the main thread, from an ordinary main().
#pragma once

namespace platform {

class AceMain {
public:
    AceMain() = default;
    virtual ~AceMain() = default;

    AceMain(const AceMain&) = delete;
    AceMain& operator=(const AceMain&) = delete;

    // Initialises ACE, calls run_i with the same arguments and finalises ACE
    // again should run_i return; gives run_i's result.
    int run(int argc, char* argv[]);

protected:
    virtual int run_i(int argc, char* argv[]) = 0;
};

}  // namespace platform

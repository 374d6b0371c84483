// Runs programs in a child process and collects what they print and how
// they end, so that tests can check fatal errors exactly.
#pragma once

#include <sys/resource.h>

#include <functional>
#include <string>
#include <vector>

struct ChildResult {
    int exit_code = -1;   // -1 when the child did not exit normally
    int signal = 0;       // the signal that ended it, if any
    std::string out;
    std::string err;
};

// Runs a program; `before_exec` runs in the child just before exec (limits,
// signal dispositions).
ChildResult run_program(const std::vector<std::string> &argv,
                        const std::function<void()> &before_exec = {});

// How imgratio is run: every run is ended by SIGALRM after `seconds`, so
// that a hang fails its test instead of holding the suite.
struct RunOptions {
    const char *threads = nullptr;     // IMGRATIO_THREADS, when set
    rlim_t file_size = RLIM_INFINITY;  // writes past it fail...
    bool killed_past_file_size = false;  // ...or, with this, SIGXFSZ ends the program
    rlim_t address_space = RLIM_INFINITY;
    unsigned fail_allocation = 0;  // runs the seam build, failing this allocation
    unsigned seconds = 60;
    std::function<void()> before_exec;  // more set-up in the child (umask, user)
};

ChildResult imgratio(const std::vector<std::string> &args, const RunOptions &options = {});

// Path of the imgratio binary under test.
std::string imgratio_binary();

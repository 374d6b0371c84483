// Runs code or programs in a child process and collects what they print and
// how they end, so that tests can check fatal errors exactly.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct ChildResult {
    int exit_code = -1;   // -1 when the child did not exit normally
    int signal = 0;       // the signal that ended it, if any
    std::string out;
    std::string err;
};

// Runs `body` in a forked child; exit code 0 if it returns.
ChildResult run_in_child(const std::function<void()> &body);

// Runs a program; `before_exec` runs in the child just before exec (limits,
// signal dispositions).
ChildResult run_program(const std::vector<std::string> &argv,
                        const std::function<void()> &before_exec = {});

// Path of the imgratio binary under test.
std::string imgratio_binary();

// Path of the test build whose allocations can be made to fail one by one.
std::string imgratio_seam_binary();

#include "child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

std::string drain(int fd)
{
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

ChildResult run_forked(const std::function<void()> &child)
{
    // Files rather than pipes: nothing can block however much the child prints.
    FILE *out = std::tmpfile();
    FILE *err = std::tmpfile();
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(out), 1);
        dup2(fileno(err), 2);
        child();
        std::exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ChildResult result;
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    std::rewind(out);
    std::rewind(err);
    result.out = drain(dup(fileno(out)));
    result.err = drain(dup(fileno(err)));
    std::fclose(out);
    std::fclose(err);
    return result;
}

}  // namespace

ChildResult run_in_child(const std::function<void()> &body)
{
    return run_forked(body);
}

ChildResult run_program(const std::vector<std::string> &argv,
                        const std::function<void()> &before_exec)
{
    return run_forked([&] {
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        if (before_exec)
            before_exec();
        execv(args[0], args.data());
        _exit(127);
    });
}

std::string imgratio_binary()
{
    return IMGRATIO_BINARY;
}

std::string imgratio_seam_binary()
{
    return IMGRATIO_SEAM_BINARY;
}

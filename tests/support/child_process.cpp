#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
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

ChildResult imgratio(const std::vector<std::string> &args, const RunOptions &options)
{
    std::vector<std::string> argv = {options.fail_allocation != 0 ? IMGRATIO_SEAM_BINARY : IMGRATIO_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, [&] {
        if (options.threads != nullptr)
            setenv("IMGRATIO_THREADS", options.threads, 1);
        if (options.fail_allocation != 0)
            setenv("IMGRATIO_FAIL_ALLOCATION", std::to_string(options.fail_allocation).c_str(), 1);
        if (!options.killed_past_file_size)
            signal(SIGXFSZ, SIG_IGN);
        struct rlimit file_size = {options.file_size, options.file_size};
        setrlimit(RLIMIT_FSIZE, &file_size);
        struct rlimit address_space = {options.address_space, options.address_space};
        setrlimit(RLIMIT_AS, &address_space);
        if (options.before_exec)
            options.before_exec();
        alarm(options.seconds);
    });
}

std::string imgratio_binary()
{
    return IMGRATIO_BINARY;
}

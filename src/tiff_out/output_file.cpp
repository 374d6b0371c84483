// Output files that are replaced whole or not at all. Regular outputs are
// written to a temporary file in the target's directory and renamed over
// the target; where a file is replaced, the new one is flushed to the disk
// first. Where the directory takes no new file but the target itself is
// writable, and for outputs that are not regular files (pipes, FIFOs,
// devices), the file is staged in $TMPDIR and copied front to back once
// complete; such paths are never removed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tiff_out/output_file.h"

namespace {

std::string directory_of(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a path finally names, following symlinks of its last component:
// replacing it leaves the links as links.
std::string resolve_links(const std::string &path)
{
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        char link[4096];
        ssize_t n = readlink(current.c_str(), link, sizeof link - 1);
        if (n < 0)
            return current;
        link[n] = '\0';
        current = link[0] == '/' ? std::string(link) : directory_of(current) + "/" + link;
    }
    return current;
}

// A hidden file in `directory` under a fresh name (*name), with the mode a
// new output gets; -1 on failure.
int make_named_temporary(const std::string &directory, std::string *name)
{
    std::string pattern = directory + "/.imgratio-XXXXXX";
    int fd = mkstemp(&pattern[0]);
    if (fd < 0)
        return -1;
    *name = pattern;
    // mkstemp makes the file 0600; a new output gets what open would give it.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    return fd;
}

// An unnamed file in `directory` where the system offers one (it vanishes
// if the process dies), else a hidden named one (*name set). -1 on failure.
int make_temporary(const std::string &directory, std::string *name)
{
    name->clear();
#if defined(O_TMPFILE)
    int fd = open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd >= 0)
        return fd;
#endif
    return make_named_temporary(directory, name);
}

// A staging file that vanishes with the process: unnamed, or unlinked at once.
int make_anonymous_temporary()
{
    const char *tmpdir = std::getenv("TMPDIR");
    std::string directory = tmpdir != nullptr && tmpdir[0] != '\0' ? tmpdir : "/tmp";
    std::string name;
    int fd = make_temporary(directory, &name);
    if (fd >= 0 && !name.empty())
        unlink(name.c_str());
    return fd;
}

// The replacement keeps the replaced file's owner (where allowed) and
// permission bits.
bool take_owner_and_mode(int fd, const struct stat &st)
{
    if (st.st_uid != geteuid() || st.st_gid != getegid()) {
        int ignored = fchown(fd, st.st_uid, st.st_gid);
        (void)ignored;
    }
    return fchmod(fd, st.st_mode & 07777) == 0;
}

bool write_all(int fd, const unsigned char *data, size_t n)
{
    while (n > 0) {
        ssize_t done = write(fd, data, n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        data += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

bool copy_staging_to(StagingFile *staging, int out, unsigned char *scratch, size_t scratch_size)
{
    if (lseek(staging->fd, 0, SEEK_SET) != 0)
        return false;
    for (;;) {
        ssize_t got = read(staging->fd, scratch, scratch_size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        if (!write_all(out, scratch, static_cast<size_t>(got)))
            return false;
    }
}

// Gives the unnamed file behind fd the name `path`; false where it cannot
// (no /proc, a name that exists).
bool link_unnamed(int fd, const std::string &path)
{
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, proc_path, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Gives an unnamed temporary file a name beside the target; the name is
// then removed again on any later failure. Where the file cannot be linked
// (no /proc), its bytes are copied into a named one, flushed with `flush`.
bool name_temporary(StagingFile *staging, bool flush, unsigned char *scratch, size_t scratch_size)
{
    if (!staging->temp_path.empty())
        return true;
    std::string directory = directory_of(staging->target);
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, "/.imgratio-%ld-%u", static_cast<long>(getpid()), attempt);
        std::string candidate = directory + name;
        if (link_unnamed(staging->fd, candidate)) {
            staging->temp_path = candidate;
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    struct stat st;
    int named = make_named_temporary(directory, &staging->temp_path);
    if (named < 0 || fstat(staging->fd, &st) != 0) {
        if (named >= 0)
            close(named);
        return false;
    }
    bool ok = take_owner_and_mode(named, st) && copy_staging_to(staging, named, scratch, scratch_size) &&
              (!flush || fsync(named) == 0);
    close(staging->fd);
    staging->fd = named;
    return ok;
}

// Closes the staging file and removes the name it still has, if any; false
// where the close fails.
bool close_and_unlink(StagingFile *staging)
{
    bool closed = staging->fd < 0 || close(staging->fd) == 0;
    staging->fd = -1;
    if (!staging->temp_path.empty())
        unlink(staging->temp_path.c_str());
    staging->temp_path.clear();
    return closed;
}

}  // namespace

bool open_staging(StagingFile *staging, const char *path)
{
    struct stat st;
    bool exists = stat(path, &st) == 0;
    if (exists && S_ISDIR(st.st_mode))
        return false;
    if (exists && !S_ISREG(st.st_mode)) {
        staging->kind = STREAM_TO_TARGET;
        staging->target = path;
        staging->fd = make_anonymous_temporary();
        return staging->fd >= 0;
    }
    staging->target = resolve_links(path);
    // An output the user may not write stays refused, as opening it would be.
    if (exists && access(staging->target.c_str(), W_OK) != 0)
        return false;
    staging->fd = make_temporary(directory_of(staging->target), &staging->temp_path);
    if (staging->fd >= 0) {
        staging->kind = RENAME_OVER_TARGET;
        if (exists)
            take_owner_and_mode(staging->fd, st);
        return true;
    }
    // No new file can be made beside the target: an existing target is
    // rewritten in place from a copy staged elsewhere.
    if (!exists)
        return false;
    staging->kind = COPY_INTO_TARGET;
    staging->fd = make_anonymous_temporary();
    return staging->fd >= 0;
}

bool write_staging(StagingFile *staging, const unsigned char *data, size_t n)
{
    return write_all(staging->fd, data, n);
}

bool commit_staging(StagingFile *staging, unsigned char *scratch, size_t scratch_size)
{
    bool ok;
    if (staging->kind == RENAME_OVER_TARGET) {
        // A file that is replaced survives even a power cut: the new one is
        // on the disk before the rename. A new output is not flushed, as cp
        // and rsync leave theirs: a failed or killed store still leaves
        // nothing, and flushing costs milliseconds an output on a busy
        // disk; only a power cut can lose a new output just written. An
        // unnamed one takes the output's name at once, whole (where the
        // name has appeared meanwhile, it is replaced instead).
        struct stat st;
        ok = lstat(staging->target.c_str(), &st) != 0 && staging->temp_path.empty() &&
             link_unnamed(staging->fd, staging->target);
        if (!ok) {
            bool replaces = lstat(staging->target.c_str(), &st) == 0;
            ok = (!replaces || fsync(staging->fd) == 0) && name_temporary(staging, replaces, scratch, scratch_size) &&
                 std::rename(staging->temp_path.c_str(), staging->target.c_str()) == 0;
            if (ok)
                staging->temp_path.clear();
        }
    } else {
        int flags = O_WRONLY | O_CLOEXEC | (staging->kind == COPY_INTO_TARGET ? O_TRUNC : 0);
        int out = open(staging->target.c_str(), flags);
        ok = out >= 0 && copy_staging_to(staging, out, scratch, scratch_size);
        if (out >= 0)
            ok = close(out) == 0 && ok;
    }
    return close_and_unlink(staging) && ok;
}

void discard_staging(StagingFile *staging)
{
    close_and_unlink(staging);
}

// How a store replaces its output: whole or not at all, through symlinks,
// keeping permission bits, into pipes and devices, and with the output
// path being one of the inputs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "support/child_process.h"
#include "support/load_helpers.h"
#include "support/tiff_builder.h"

namespace fs = std::filesystem;

namespace {

// A fresh directory holding a 256 x 256 16-bit image of the given sample.
std::string directory_with_image(uint16_t sample, std::string *image)
{
    std::string dir = scratch_path("dir");
    fs::create_directory(dir);
    ImageOptions o;
    o.width = 256;
    o.height = 256;
    o.bits = 16;
    o.rows_per_strip = 16;
    *image = dir + "/image.tif";
    write_file(*image, build_tiff(make_image_layout(o, pack_strips(std::vector<uint16_t>(256 * 256, sample), o))));
    return dir;
}

size_t entries_in(const std::string &dir)
{
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}));
}

}  // namespace

TEST(OutputReplacement, OutputThatIsAnInputIsReplacedWholeOrKept)
{
    std::string image;
    std::string dir = directory_with_image(20, &image);
    const Bytes original = read_file(image);
    // Larger than the input, so that the limit stops the store, not the reads.
    for (bool ignore : {true, false}) {
        SCOPED_TRACE(ignore ? "write fails" : "killed by SIGXFSZ");
        RunOptions limited;
        limited.file_size = original.size() / 2;
        limited.killed_past_file_size = !ignore;
        ChildResult r = imgratio({image, image, image}, limited);
        if (ignore) {
            EXPECT_EQ(r.exit_code, 1);
            EXPECT_EQ(r.err, image + " : file not stored.\n");
        } else {
            EXPECT_EQ(r.signal, SIGXFSZ);
        }
        EXPECT_EQ(read_file(image), original);
        EXPECT_EQ(entries_in(dir), 1u) << "no stray file";
    }
    ChildResult r = imgratio({image, image, image});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(load_file(image).samples, std::vector<uint16_t>(256 * 256, 1000));
    EXPECT_EQ(entries_in(dir), 1u);
}

TEST(OutputReplacement, SymlinksStayAndPermissionBitsAreKept)
{
    std::string image;
    std::string dir = directory_with_image(3, &image);
    std::string target = dir + "/target.tif", link = dir + "/link.tif";
    write_file(target, {'o', 'l', 'd'});
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(symlink("target.tif", link.c_str()), 0);
    ASSERT_EQ(imgratio({image, image, link}).exit_code, 0);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(load_file(target).samples[0], 1000);
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // A new file gets 0666 less the umask.
    std::string fresh = dir + "/fresh.tif";
    RunOptions umask_027;
    umask_027.before_exec = [] { umask(027); };
    ASSERT_EQ(imgratio({image, image, fresh}, umask_027).exit_code, 0);
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(entries_in(dir), 4u);
}

TEST(OutputReplacement, PipesFifosAndDevicesGetTheSameBytesAndStay)
{
    std::string image;
    std::string dir = directory_with_image(9, &image);
    std::string regular = dir + "/regular.tif";
    ASSERT_EQ(imgratio({image, image, regular}).exit_code, 0);
    const Bytes expected = read_file(regular);

    // Standard output is a file for run_program; through /dev/stdout the
    // same bytes arrive without a seek.
    std::string stdout_path = dir + "/stdout";
    ASSERT_EQ(mkfifo(stdout_path.c_str(), 0600), 0);
    std::string piped;
    std::thread reader([&] {
        int fd = open(stdout_path.c_str(), O_RDONLY);
        char buf[65536];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            piped.append(buf, static_cast<size_t>(n));
        close(fd);
    });
    ChildResult r = imgratio({image, image, stdout_path});
    // Should the program never have opened the FIFO, the reader would wait
    // for a writer for ever: be that writer.
    int unblock = open(stdout_path.c_str(), O_WRONLY | O_NONBLOCK);
    if (unblock >= 0)
        close(unblock);
    reader.join();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(Bytes(piped.begin(), piped.end()), expected);
    EXPECT_TRUE(fs::is_fifo(stdout_path));

    // A pipe as standard output (the paths hold no characters the shell treats specially).
    std::FILE *pipe = popen((imgratio_binary() + " " + image + " " + image + " /dev/stdout").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    Bytes from_pipe;
    for (int c; (c = std::fgetc(pipe)) != EOF;)
        from_pipe.push_back(static_cast<uint8_t>(c));
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_EQ(from_pipe, expected);

    r = imgratio({image, image, "/dev/full"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "/dev/full : file not stored.\n");
    struct stat st;
    ASSERT_EQ(stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST(OutputReplacement, WritePermissionIsHonouredAndADirectoryThatTakesNoNewFileIsWorkedAround)
{
    std::string image;
    std::string dir = directory_with_image(4, &image);
    std::string out = dir + "/out.tif", missing = dir + "/missing.tif", read_only = dir + "/read-only.tif";
    write_file(out, {'o', 'l', 'd'});
    write_file(read_only, {'o', 'l', 'd'});
    ASSERT_EQ(chmod(out.c_str(), 0666), 0);
    ASSERT_EQ(chmod(read_only.c_str(), 0444), 0);
    ASSERT_EQ(chmod(fs::path(dir).parent_path().c_str(), 0755), 0);
    // Root may write anything: drop to an ordinary user.
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    RunOptions as_user;
    as_user.before_exec = [] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(99);
    };
    ChildResult r = imgratio({image, image, read_only}, as_user);
    EXPECT_EQ(r.err, read_only + " : file not stored.\n");
    EXPECT_EQ(read_file(read_only), (Bytes{'o', 'l', 'd'}));

    // A directory that takes no new file: a writable output is rewritten in
    // place, a missing one cannot be made.
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    r = imgratio({image, image, out}, as_user);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    r = imgratio({image, image, missing}, as_user);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, missing + " : file not stored.\n");
    chmod(dir.c_str(), 0755);
    EXPECT_EQ(load_file(out).samples[0], 1000);
    EXPECT_EQ(entries_in(dir), 3u);
}

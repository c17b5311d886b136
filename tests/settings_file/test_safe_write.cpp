// Writing files so that none is lost: links written through, device nodes and FIFOs refused,
// permissions kept, nobody else's files touched, and a failure that leaves the old file whole and
// no temporary file behind, with a message that says whether the file or its directory failed.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "settings_file/settings_file.h"
#include "tests/support/files.h"

namespace {

namespace fs = std::filesystem;
using settings_file::write_file_safely;

std::string read(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void put(const fs::path& p, const std::string& text)
{
    std::ofstream(p, std::ios::binary) << text;
}

std::set<std::string> names_in(const fs::path& dir)
{
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        names.insert(e.path().filename().string());
    }
    return names;
}

mode_t mode_of(const fs::path& p)
{
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
}

// Runs `check` in a child process (after `prepare` there) and expects it to return true: for what
// changes the whole process, a resource limit or the user.
void in_child(const std::function<void()>& prepare, const std::function<bool()>& check)
{
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        prepare();
        std::_Exit(check() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's check failed; see its output";
}

class SafeWrite : public ::testing::Test {
protected:
    fs::path path(const char* name) const { return dir.path() / name; }
    support::TempDir dir;
};

TEST_F(SafeWrite, LinksAreWrittenThroughAndKept)
{
    put(path("target.json"), "old");
    fs::create_symlink("target.json", path("link.json"));      // relative, as people make them
    fs::create_symlink(path("link.json"), path("link2.json")); // a chain
    std::string error;
    ASSERT_TRUE(write_file_safely(path("link2.json").string(), "new", &error)) << error;
    EXPECT_TRUE(fs::is_symlink(path("link.json")));
    EXPECT_TRUE(fs::is_symlink(path("link2.json")));
    EXPECT_EQ(read(path("target.json")), "new");

    // A link to a file not yet there makes the file, not a plain file in the link's place.
    fs::create_symlink("later.json", path("dangling.json"));
    ASSERT_TRUE(write_file_safely(path("dangling.json").string(), "made", &error)) << error;
    EXPECT_TRUE(fs::is_symlink(path("dangling.json")));
    EXPECT_EQ(read(path("later.json")), "made");

    fs::create_symlink("loop-b", path("loop-a"));
    fs::create_symlink("loop-a", path("loop-b"));
    EXPECT_FALSE(write_file_safely(path("loop-a").string(), "x", &error));
    EXPECT_NE(error.find("too many levels of symbolic links"), std::string::npos) << error;
}

TEST_F(SafeWrite, WhatIsNotARegularFileIsRefusedUntouched)
{
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0644), 0);
    fs::create_directory(path("directory"));
    fs::create_symlink("/dev/null", path("null-link"));
    // Refused before anything is opened: a FIFO with no reader would block the writer forever.
    const std::vector<std::string> targets{path("fifo").string(), "/dev/null", path("directory").string(),
                                           path("null-link").string()};
    for (const std::string& target : targets) {
        std::string error;
        EXPECT_FALSE(write_file_safely(target, "x", &error)) << target;
        EXPECT_EQ(error, target + " is not a regular file");
    }
    EXPECT_TRUE(fs::is_fifo(path("fifo")));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_TRUE(fs::is_symlink(path("null-link")));
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"fifo", "directory", "null-link"}));
}

TEST_F(SafeWrite, PermissionsAndOtherFilesAreKept)
{
    put(path("secret.json"), "old");
    fs::permissions(path("secret.json"), fs::perms::owner_read | fs::perms::owner_write);
    put(path("backup.json.part"), "someone else's");
    std::string error;
    ASSERT_TRUE(write_file_safely(path("secret.json").string(), "new", &error)) << error;
    ASSERT_TRUE(write_file_safely(path("backup.json").string(), "made", &error)) << error;
    EXPECT_EQ(mode_of(path("secret.json")), 0600u);
    EXPECT_EQ(read(path("backup.json.part")), "someone else's");
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"secret.json", "backup.json", "backup.json.part"}));

    // A new file is made as any program makes one: 0666 less the umask, not mkstemp's 0600.
    for (const mode_t mask : {mode_t{022}, mode_t{027}, mode_t{0}}) {
        const mode_t saved = ::umask(mask);
        const fs::path fresh = path(("fresh-" + std::to_string(mask)).c_str());
        EXPECT_TRUE(write_file_safely(fresh.string(), "x", &error)) << error;
        ::umask(saved);
        EXPECT_EQ(mode_of(fresh), 0666u & ~mask) << std::oct << mask;
    }
}

TEST_F(SafeWrite, AFailedWriteLeavesTheOldFileAndNoTemporary)
{
    put(path("backup.json"), "old contents");
    // A file size limit makes the write itself fail after the temporary file exists.
    in_child(
        [] {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{4, 4};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        },
        [&] {
            std::string error;
            const std::string target = path("backup.json").string();
            const bool ok = write_file_safely(target, "new contents, longer than four bytes", &error);
            const bool right = !ok && error == "cannot write " + target + ": File too large";
            if (!right) {
                std::fprintf(stderr, "unexpected: %d, %s\n", ok, error.c_str());
            }
            return right;
        });
    EXPECT_EQ(read(path("backup.json")), "old contents");
    EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"backup.json"});

    std::string error;
    const fs::path missing = path("no") / "such" / "backup.json";
    EXPECT_FALSE(write_file_safely(missing.string(), "x", &error));
    EXPECT_EQ(error,
              "cannot create a temporary file in " + missing.parent_path().string() + ": No such file or directory");
}

// A directory the user may not write to: as root every directory is writable, so the check runs
// as an unprivileged user in a child process.
TEST_F(SafeWrite, AnUnwritableDirectoryIsNamedAsTheProblem)
{
    const fs::path locked = path("locked");
    fs::create_directory(locked);
    put(locked / "backup.json", "old contents");
    fs::permissions(locked, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(locked / "backup.json", fs::perms::all);
    fs::permissions(dir.path(), fs::perms::others_exec, fs::perm_options::add);
    const bool root = ::geteuid() == 0;
    if (!root) {
        fs::permissions(locked, fs::perms::owner_write, fs::perm_options::remove);
    }
    in_child(
        [root] {
            // nobody:nogroup
            if (root && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
                std::_Exit(2);
            }
        },
        [&] {
            std::string error;
            const std::string target = (locked / "backup.json").string();
            const bool ok = write_file_safely(target, "new", &error);
            const bool right =
                !ok && error == "cannot create a temporary file in " + locked.string() + ": Permission denied";
            if (!right) {
                std::fprintf(stderr, "unexpected: %d, %s\n", ok, error.c_str());
            }
            return right;
        });
    fs::permissions(locked, fs::perms::owner_all, fs::perm_options::add);
    EXPECT_EQ(read(locked / "backup.json"), "old contents");
    EXPECT_EQ(names_in(locked), std::set<std::string>{"backup.json"});
}

} // namespace

// Settings files on disk, written so that none is lost: links written through, device nodes and
// FIFOs refused, permissions kept, nobody else's files touched, and a failure that leaves the old
// file whole and no temporary file behind.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

#include "settings_file/settings_file.h"
#include "tests/support/files.h"

namespace {

namespace fs = std::filesystem;
using settings_file::write_file_safely;
using Names = std::set<std::string>;

class SafeWrite : public ::testing::Test {
protected:
    std::string path(const char* name) const { return (dir.path() / name).string(); }
    std::string read(const char* name) const
    {
        std::stringstream s;
        s << std::ifstream(path(name)).rdbuf();
        return s.str();
    }
    Names names() const
    {
        Names names;
        for (const auto& e : fs::directory_iterator(dir.path())) {
            names.insert(e.path().filename().string());
        }
        return names;
    }
    support::TempDir dir;
};

TEST_F(SafeWrite, LinksAreWrittenThroughAndOtherNodesRefused)
{
    std::ofstream(path("target.json")) << "old";
    fs::create_symlink("target.json", path("link.json")); // relative, as people make them
    fs::create_symlink(path("link.json"), path("chain.json"));
    fs::create_symlink("later.json", path("dangling.json"));
    std::string error;
    ASSERT_TRUE(write_file_safely(path("chain.json"), "new", &error)) << error;
    EXPECT_EQ(read("target.json"), "new");
    // A link to a file not yet there makes the file, not a plain file in the link's place.
    ASSERT_TRUE(write_file_safely(path("dangling.json"), "made", &error)) << error;
    EXPECT_EQ(read("later.json"), "made");
    EXPECT_TRUE(fs::is_symlink(path("link.json")) && fs::is_symlink(path("chain.json")) &&
                fs::is_symlink(path("dangling.json")));
    fs::create_symlink("loop-b", path("loop-a"));
    fs::create_symlink("loop-a", path("loop-b"));
    EXPECT_FALSE(write_file_safely(path("loop-a"), "x", &error));
    EXPECT_EQ(error, "cannot write " + path("loop-a") + ": too many levels of symbolic links");
    // Refused before anything is opened: a FIFO with no reader would block the writer forever.
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0644), 0);
    fs::create_directory(path("directory"));
    fs::create_symlink("/dev/null", path("null-link"));
    for (const std::string& target : {path("fifo"), std::string("/dev/null"), path("directory"), path("null-link")}) {
        EXPECT_FALSE(write_file_safely(target, "x", &error)) << target;
        EXPECT_EQ(error, target + " is not a regular file");
    }
    EXPECT_TRUE(fs::is_fifo(path("fifo")) && fs::is_symlink(path("null-link")));
    EXPECT_EQ(names(), (Names{"target.json", "link.json", "chain.json", "dangling.json", "later.json", "loop-a",
                              "loop-b", "fifo", "directory", "null-link"}));
}

TEST_F(SafeWrite, PermissionsAndOtherFilesAreKept)
{
    settings_file::Document doc;
    std::string error;
    ASSERT_TRUE(settings_file::read_document(R"({"format": "efis-config settings", "format_version": 1,
                                                 "settings": {"vne": 150}})",
                                             &doc, &error));
    ASSERT_TRUE(settings_file::write_document_file(path("secret.json"), doc, &error)) << error;
    EXPECT_TRUE(settings_file::read_document_file(path("secret.json"), &doc, &error) && doc.settings.count() == 1);
    EXPECT_FALSE(settings_file::read_document_file(path("none.json"), &doc, &error));
    EXPECT_EQ(error, "cannot open: No such file or directory");
    fs::permissions(path("secret.json"), fs::perms::owner_read | fs::perms::owner_write);
    std::ofstream(path("backup.json.part")) << "someone else's";
    ASSERT_TRUE(write_file_safely(path("secret.json"), "new", &error)) << error;
    ASSERT_TRUE(write_file_safely(path("backup.json"), "made", &error)) << error;
    EXPECT_EQ(fs::status(path("secret.json")).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(read("backup.json.part"), "someone else's");
    EXPECT_EQ(names(), (Names{"secret.json", "backup.json", "backup.json.part"}));
    // A new file is made as any program makes one: 0666 less the umask, not mkstemp's 0600.
    for (const mode_t mask : {mode_t{022}, mode_t{027}, mode_t{0}}) {
        const mode_t saved = ::umask(mask);
        const std::string fresh = path("fresh") + std::to_string(mask);
        EXPECT_TRUE(write_file_safely(fresh, "x", &error)) << error;
        ::umask(saved);
        EXPECT_EQ(fs::status(fresh).permissions(), fs::perms(0666 & ~mask)) << std::oct << mask;
    }
}

TEST_F(SafeWrite, AFailedWriteLeavesTheOldFileAndNoTemporary)
{
    std::ofstream(path("backup.json")) << "old contents";
    // A file size limit, in a child process, makes the write itself fail once the temporary file exists.
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4, 4};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::string error;
        const bool ok = write_file_safely(path("backup.json"), "new contents, longer than four bytes", &error);
        std::fprintf(stderr, "%d, %s\n", ok, error.c_str());
        std::_Exit(!ok && error == "cannot write " + path("backup.json") + ": File too large" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's write did not fail as it should";
    EXPECT_EQ(read("backup.json"), "old contents");
    EXPECT_EQ(names(), Names{"backup.json"});
    std::string error;
    EXPECT_FALSE(write_file_safely(path("no/such/backup.json"), "x", &error));
    EXPECT_EQ(error, "cannot create a temporary file in " + path("no/such") + ": No such file or directory");
}

} // namespace

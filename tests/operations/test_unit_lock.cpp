// The lock on a unit: taken, refused with its holder named, released by the holder or by its death,
// never passed to a child, and one file per device path in a directory nobody else may write.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "operations/unit_lock.h"

namespace {

namespace fs = std::filesystem;
using operations::LockOutcome;

const std::string kUnit = "sim:00C0FFEE:0";

// Each test in a directory of its own, named by XDG_RUNTIME_DIR or, without it, TMPDIR.
class UnitLockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/efis-lock-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root = name;
        setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("XDG_RUNTIME_DIR");
        unsetenv("TMPDIR");
        fs::remove_all(root);
    }
    fs::path root;
};

TEST_F(UnitLockTest, TakenRefusedReleased)
{
    operations::LockAttempt first = operations::take_unit_lock(kUnit, "efis-cli");
    ASSERT_EQ(first.outcome, LockOutcome::Taken) << first.error;
    EXPECT_TRUE(first.lock.held());
    EXPECT_EQ(fs::path(first.lock.file()).parent_path(), root / "efis-config");
    EXPECT_EQ(fs::status(root / "efis-config").permissions(), fs::perms::owner_all);

    // The same process is refused too: the lock belongs to the open file.
    const operations::LockAttempt second = operations::take_unit_lock(kUnit, "efis-config");
    EXPECT_EQ(second.outcome, LockOutcome::InUse);
    EXPECT_FALSE(second.lock.held());
    EXPECT_EQ(second.holder.program, "efis-cli");
    EXPECT_EQ(second.holder.pid, long(getpid()));
    const auto holder = operations::unit_lock_holder(kUnit);
    ASSERT_TRUE(holder.has_value());
    EXPECT_TRUE(holder->program == "efis-cli" && holder->pid == long(getpid()));
    // Looking does not take it: the holder still has it, and another unit is free.
    EXPECT_EQ(operations::take_unit_lock(kUnit, "x").outcome, LockOutcome::InUse);
    EXPECT_EQ(operations::unit_lock_holder("sim:0BADF00D:0"), std::nullopt);
    EXPECT_EQ(operations::take_unit_lock("sim:0BADF00D:0", "x").outcome, LockOutcome::Taken);

    // Moved, it stays held; the moved-from lock releases nothing.
    operations::UnitLock moved = std::move(first.lock);
    EXPECT_FALSE(first.lock.held());
    first.lock.release();
    EXPECT_EQ(operations::take_unit_lock(kUnit, "x").outcome, LockOutcome::InUse);
    moved = operations::UnitLock(); // the assignment releases what it held
    EXPECT_EQ(operations::unit_lock_holder(kUnit), std::nullopt);
    operations::LockAttempt again = operations::take_unit_lock(kUnit, "efis-config");
    ASSERT_EQ(again.outcome, LockOutcome::Taken);
    EXPECT_EQ(operations::unit_lock_holder(kUnit)->program, "efis-config");
}

TEST_F(UnitLockTest, AHolderWrittenBadlyIsUnknown)
{
    const operations::LockAttempt held = operations::take_unit_lock(kUnit, "efis-cli");
    ASSERT_EQ(held.outcome, LockOutcome::Taken);
    for (const char* text : {"", "efis-cli\n", "12 efis-cli", "0 efis-cli\n", "-4 efis-cli\n", "12x efis-cli\n"}) {
        std::ofstream(held.lock.file(), std::ios::trunc) << text;
        const operations::LockAttempt refused = operations::take_unit_lock(kUnit, "x");
        EXPECT_EQ(refused.outcome, LockOutcome::InUse);
        EXPECT_TRUE(refused.holder.program == "unknown" && refused.holder.pid == 0) << text;
    }
    std::ofstream(held.lock.file(), std::ios::trunc) << "12 evil\x1b[2Jname\n";
    EXPECT_EQ(operations::unit_lock_holder(kUnit)->program, "evil?[2Jname");
}

// A process that dies holding the lock loses it, even when a child it started lives on: the child
// never inherited it. The test process reaps the orphaned child itself (a subreaper).
TEST_F(UnitLockTest, DeathReleasesAndChildrenDoNotInherit)
{
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const operations::LockAttempt a = operations::take_unit_lock(kUnit, "holder");
        pid_t child = -1;
        if (a.outcome == LockOutcome::Taken && (child = fork()) == 0) {
            execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
            _exit(127);
        }
        (void)!write(ready[1], &child, sizeof child);
        pause(); // until killed
        _exit(0);
    }
    close(ready[1]);
    pid_t child = -1;
    ASSERT_EQ(read(ready[0], &child, sizeof child), ssize_t(sizeof child));
    close(ready[0]);
    ASSERT_GT(child, 0) << "the holder did not get the lock";
    const operations::LockAttempt refused = operations::take_unit_lock(kUnit, "test");
    EXPECT_EQ(refused.outcome, LockOutcome::InUse);
    EXPECT_TRUE(refused.holder.program == "holder" && refused.holder.pid == long(holder));

    kill(holder, SIGKILL);
    ASSERT_EQ(waitpid(holder, nullptr, 0), holder);
    EXPECT_EQ(operations::unit_lock_holder(kUnit), std::nullopt);
    EXPECT_EQ(operations::take_unit_lock(kUnit, "test").outcome, LockOutcome::Taken);
    kill(child, SIGKILL);
    EXPECT_EQ(waitpid(child, nullptr, 0), child);
}

// Without XDG_RUNTIME_DIR: a directory of the user's own in the temporary directory, and only one
// that nobody else may write.
TEST_F(UnitLockTest, TemporaryDirectoryFallback)
{
    unsetenv("XDG_RUNTIME_DIR");
    setenv("TMPDIR", root.c_str(), 1);
    const fs::path own = root / ("efis-config-" + std::to_string(geteuid()));
    std::string error;
    EXPECT_EQ(operations::unit_lock_directory(&error), own.string()) << error;
    EXPECT_EQ(fs::status(own).permissions(), fs::perms::owner_all);
    EXPECT_EQ(operations::take_unit_lock(kUnit, "x").outcome, LockOutcome::Taken);

    fs::permissions(own, fs::perms::all);
    operations::LockAttempt refused = operations::take_unit_lock(kUnit, "x");
    EXPECT_EQ(refused.outcome, LockOutcome::Failed);
    EXPECT_NE(refused.error.find(own.string()), std::string::npos) << refused.error;
    EXPECT_FALSE(operations::unit_lock_holder(kUnit, &error).has_value());
    EXPECT_NE(error.find("nobody else may write"), std::string::npos) << error;

    fs::remove_all(own);
    fs::create_directory(root / "elsewhere");
    fs::create_directory_symlink(root / "elsewhere", own);
    EXPECT_EQ(operations::take_unit_lock(kUnit, "x").outcome, LockOutcome::Failed);
    EXPECT_TRUE(fs::is_empty(root / "elsewhere"));

    // A runtime directory that cannot hold one: refused with the reason, nothing else tried.
    std::ofstream(root / "file") << "x";
    setenv("XDG_RUNTIME_DIR", (root / "file").c_str(), 1);
    refused = operations::take_unit_lock(kUnit, "x");
    EXPECT_EQ(refused.outcome, LockOutcome::Failed);
    EXPECT_NE(refused.error.find("cannot create the lock directory"), std::string::npos) << refused.error;
}

TEST(UnitLockName, OneFilePerPath)
{
    const std::string long_path(300, 'a');
    const std::vector<std::string> paths = {
        "sim:00C0FFEE:0",
        "sim:00c0ffee:0",
        "/dev/hidraw3",
        "%2Fdev%2Fhidraw3",
        "",
        ".",
        "..",
        R"(\\?\hid#vid_1209&pid_ef15#7&2a3b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})",
        long_path,
        long_path + "b",
        "b" + long_path,
    };
    std::set<std::string> names;
    for (const std::string& p : paths) {
        const std::string name = operations::unit_lock_file_name(p);
        EXPECT_LE(name.size(), 130u) << p;
        EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-_%~"), std::string::npos) << name;
        EXPECT_TRUE(name.starts_with("unit-") && name.ends_with(".lock")) << name;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), paths.size());
    EXPECT_EQ(operations::unit_lock_file_name("/dev/hidraw3"), "unit-%2fdev%2fhidraw3.lock");
    EXPECT_EQ(operations::unit_lock_file_name(long_path).find('~'), 85u); // the start kept, then the hash
}

} // namespace

// The lock on a unit: taken, refused with its holder named, released by its holder, and kept in a
// directory nobody else may write.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "operations/unit_lock.h"

namespace {

namespace fs = std::filesystem;
using namespace operations;

const std::string kUnit = "sim:00C0FFEE:0";

// Each test in a directory of its own, named by XDG_RUNTIME_DIR or, without it, TMPDIR; the other
// tests of this program keep their locks where they were.
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
        setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
        unsetenv("TMPDIR");
        fs::remove_all(root);
    }
    const std::string saved = std::getenv("XDG_RUNTIME_DIR") != nullptr ? std::getenv("XDG_RUNTIME_DIR") : "";
    fs::path root;
};

TEST_F(UnitLockTest, TakenRefusedReleased)
{
    LockAttempt first = take_unit_lock(kUnit, "efis-cli");
    ASSERT_EQ(first.outcome, LockOutcome::Taken) << first.error;
    EXPECT_EQ(fs::path(first.lock.file()).parent_path(), root / "efis-config");
    EXPECT_EQ(fs::status(root / "efis-config").permissions(), fs::perms::owner_all);
    // The same process is refused too: the lock belongs to the open file. Looking does not take it.
    const LockAttempt second = take_unit_lock(kUnit, "efis-config");
    EXPECT_TRUE(second.outcome == LockOutcome::InUse && !second.lock.held());
    EXPECT_TRUE(second.holder.program == "efis-cli" && second.holder.pid == long(getpid()));
    EXPECT_EQ(unit_lock_holder(kUnit).value().program, "efis-cli");
    EXPECT_EQ(take_unit_lock(kUnit, "x").outcome, LockOutcome::InUse);
    EXPECT_EQ(unit_lock_holder("sim:0BADF00D:0"), std::nullopt);
    // A holder written badly is unknown; a program name cannot carry control characters.
    for (const char* text : {"", "12 efis-cli", "0 efis-cli\n", "-4 efis-cli\n", "12x efis-cli\n"}) {
        std::ofstream(first.lock.file(), std::ios::trunc) << text;
        const LockHolder h = take_unit_lock(kUnit, "x").holder;
        EXPECT_TRUE(h.program == "unknown" && h.pid == 0) << text;
    }
    std::ofstream(first.lock.file(), std::ios::trunc) << "12 evil\x1b[2Jname\n";
    EXPECT_EQ(unit_lock_holder(kUnit).value().program, "evil?[2Jname");
    // Moved, it stays held; the moved-from lock releases nothing; assigned over, it is released.
    UnitLock moved = std::move(first.lock);
    first.lock.release();
    EXPECT_EQ(take_unit_lock(kUnit, "x").outcome, LockOutcome::InUse);
    moved = take_unit_lock("sim:0BADF00D:0", "x").lock;
    EXPECT_TRUE(moved.held() && unit_lock_holder(kUnit) == std::nullopt);
    EXPECT_EQ(take_unit_lock(kUnit, "efis-config").outcome, LockOutcome::Taken);
}

// Without XDG_RUNTIME_DIR: a directory of the user's own in the temporary directory, and only one
// that nobody else may write and that is no link.
TEST_F(UnitLockTest, TemporaryDirectoryFallback)
{
    unsetenv("XDG_RUNTIME_DIR");
    setenv("TMPDIR", root.c_str(), 1);
    const fs::path own = root / ("efis-config-" + std::to_string(geteuid()));
    EXPECT_EQ(take_unit_lock(kUnit, "x").outcome, LockOutcome::Taken);
    EXPECT_EQ(fs::status(own).permissions(), fs::perms::owner_all);
    fs::permissions(own, fs::perms::all);
    const LockAttempt refused = take_unit_lock(kUnit, "x");
    EXPECT_TRUE(refused.outcome == LockOutcome::Failed && refused.error.find(own.string()) != std::string::npos);
    std::string error;
    EXPECT_FALSE(unit_lock_holder(kUnit, &error).has_value());
    EXPECT_NE(error.find("nobody else may write"), std::string::npos) << error;
    fs::remove_all(own);
    fs::create_directory(root / "elsewhere");
    fs::create_directory_symlink(root / "elsewhere", own);
    EXPECT_EQ(take_unit_lock(kUnit, "x").outcome, LockOutcome::Failed);
    EXPECT_TRUE(fs::is_empty(root / "elsewhere"));
}

} // namespace

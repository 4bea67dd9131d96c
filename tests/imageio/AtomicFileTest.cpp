#include "imageio/AtomicFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "FaultUtil.h"
#include "TestUtil.h"
#include "low/Errors.h"

using namespace quenlo;
using namespace quenlo::test;

namespace {
const std::vector<uint8_t> kNew = {'n', 'e', 'w'};
}

// Both kinds of temporary: invisible or short-named while written, the
// target's permissions kept, a 255-byte name writable.
TEST(AtomicFile, ReplacesOnlyAtCommitWhateverTheTemporary) {
    for (const TempFile kind : {TempFile::Unnamed, TempFile::Named}) {
        TempDir dir;
        const std::string target = dir / (std::string(251, 't') + ".bmp");
        WriteText(target, "old");
        ::chmod(target.c_str(), 0640);
        const FolderSnapshot before = Snapshot(dir.str());
        {
            TAtomicFile file(target, kind);
            file.Write(kNew.data(), kNew.size());
            const FolderSnapshot during = Snapshot(dir.str());
            EXPECT_EQ(during.size(), kind == TempFile::Unnamed && file.Unnamed() ? 1u : 2u);
            EXPECT_EQ(during.at(target.substr(dir.str().size() + 1)), before.begin()->second);
            file.Commit();
        }
        EXPECT_EQ(ReadBytes(target), kNew);
        struct stat st {};
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_EQ(Snapshot(dir.str()).size(), 1u);
    }
}

// A signal during a write with a named temporary: removed, and the exit
// status says which signal it was.
TEST(AtomicFile, SignalsRemoveNamedTemporaries) {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        TempDir dir;
        WriteText(dir / "t.bmp", "old");
        const FolderSnapshot before = Snapshot(dir.str());
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            RemoveTemporariesOnSignals();
            TAtomicFile file(dir / "t.bmp", TempFile::Named);
            file.Write(kNew.data(), kNew.size());
            ::raise(sig);
            ::_exit(99);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 128 + sig);
        EXPECT_EQ(Snapshot(dir.str()), before);
    }
}

// The folder removed while its file is written: the folder is named, never
// a missing file that reads as the input's.
TEST(AtomicFile, AFolderRemovedBeforeTheCommitIsNamed) {
    for (const TempFile kind : {TempFile::Unnamed, TempFile::Named}) {
        TempDir dir;
        std::filesystem::create_directories(dir / "out");
        TAtomicFile file(dir / "out/a.bmp", kind);
        file.Write(kNew.data(), kNew.size());
        std::filesystem::remove_all(dir / "out");
        try {
            file.Commit();
            ADD_FAILURE() << "committed into a removed folder";
        } catch (const EQuenlo& e) {
            EXPECT_EQ(std::string(e.what()), "Cannot create " + (dir / "out"));
        }
    }
}

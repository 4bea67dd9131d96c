#pragma once
// Replaces a file only once its new content is completely written: the data
// goes to a temporary file in the same folder, which is put in place of the
// target at Commit. Destroying an uncommitted one removes the temporary, so
// a failed write leaves the old file untouched and nothing behind.
//
// On Linux the temporary has no name while it is written (O_TMPFILE), so
// even a killed process leaves nothing visible; a new target gets it in one
// step, and one that exists is replaced through a short name held only for
// the moment of the rename. Where the file system refuses that, it is
// a short named file (".quenlo-XXXXXX"), which the signal handlers below
// remove; QUENLO_TEMP_FILES=named always takes that path. Short names keep
// a 255-byte target name writable.
#include <cstddef>
#include <cstdint>
#include <csignal>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

namespace quenlo {

enum class TempFile { Unnamed, Named };

class TAtomicFile {
public:
    // A target that is a symbolic link is written through it: the link
    // stays and the file it points to gets the content. An existing file
    // keeps its permissions. Throws EFCreateError when the file cannot be
    // created, EQuenlo for a device or pipe (never opened) and for a link
    // ReplacedFile does not follow.
    explicit TAtomicFile(const std::string& target, TempFile temp = TempFile::Unnamed);
    ~TAtomicFile();
    TAtomicFile(const TAtomicFile&) = delete;
    TAtomicFile& operator=(const TAtomicFile&) = delete;

    // Throws EInOutError on a failed or short write.
    void Write(const uint8_t* data, size_t n);
    // Writes at a byte offset from the start, for content produced out of
    // order; not for devices and pipes. Throws EInOutError.
    void WriteAt(const uint8_t* data, size_t n, uint64_t offset);
    // Closes, checks, and renames over the target. Throws EInOutError.
    void Commit();

    // Whether the content is being written to an unnamed temporary.
    bool Unnamed() const { return unnamed_; }

private:
    bool LinkAsTarget();
    void NameTheTemporary();

    std::string target_;  // with symbolic links resolved
    std::string name_;    // its file name in dirFd_
    std::string temp_;    // a named temporary (in full, for the signal handler); empty while unnamed
    int dirFd_ = -1;      // its folder, walked once (TFolder's rule)
    int fd_ = -1;
    bool unnamed_ = false;
};

// The file that writing `name` replaces: its symbolic links followed, as
// far as they lead (a dangling link's end is a new file). A link in a folder
// others may write to (world-writable and sticky, as /tmp) that belongs to
// neither the folder's owner nor this user is not followed, as the kernel's
// protected-symlinks rule has it: throws EQuenlo naming it.
std::string ReplacedFile(const std::string& name);

// ReplacedFile for the many names of one batch: each folder on the way is
// walked once, its verdict kept, as the batch is planned at one moment.
class TReplacedFiles {
public:
    struct Found {
        std::string path;     // as ReplacedFile returns it
        bool exists = false;  // whether path names anything, through links; st is then its stat
        struct stat st {};
    };
    // Throws as ReplacedFile.
    Found Find(const std::string& name);

private:
    // Folder as spelled -> the text of the link not followed on its way, "" for none.
    std::unordered_map<std::string, std::string> unsafe_;
};

// A folder opened by walking its path one component at a time, each opened
// without following a link (O_NOFOLLOW): a link met on the way is followed
// only where the protected-symlinks rule above lets it, so no link planted
// in a folder others may write to leads the walk elsewhere. Writes made
// relative to the descriptor land in the folder found, whatever the path
// becomes meanwhile. With create, missing folders are made (mode 0777 less
// the umask) and their paths, as spelled, added to *made, parents first.
// Throws EQuenlo naming a link not followed, and "Cannot create DIR" when
// the folder is missing (and not made) or not a folder.
class TFolder {
public:
    explicit TFolder(const std::string& dir, bool create = false, std::vector<std::string>* made = nullptr);
    ~TFolder();
    TFolder(const TFolder&) = delete;
    TFolder& operator=(const TFolder&) = delete;
    int Fd() const { return fd_; }

private:
    int fd_ = -1;
};

// Why an output that exists but is no regular file is not written.
std::string NotRegularOutput(const std::string& output);

// SIGINT, SIGTERM and SIGHUP remove the named temporaries of every
// uncommitted TAtomicFile and end the process with 128 + the signal's
// number (130, 143, 129). Old targets are untouched: nothing was renamed.
// Once the handler runs no thread names a new temporary, and the ones being
// named are waited for, so none is left. SIGKILL leaves the named ones.
void RemoveTemporariesOnSignals();
// Run by that handler after the temporaries are gone, before the exit, with
// the signal's number; it must be async-signal-safe. nullptr: nothing.
void SetSignalFarewell(void (*farewell)(int sig));

// Holds those signals off the calling thread while it lives, and off the
// threads it starts meanwhile for good: a handler then runs only on a
// thread that lets it, between the steps it guards.
class TSignalsHeld {
public:
    TSignalsHeld();
    ~TSignalsHeld();
    TSignalsHeld(const TSignalsHeld&) = delete;
    TSignalsHeld& operator=(const TSignalsHeld&) = delete;

private:
    sigset_t old_;
};

}  // namespace quenlo

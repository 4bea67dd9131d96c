#pragma once
// Replaces a file only once its new content is completely written: the data
// goes to a temporary file in the same folder, which is put in place of the
// target at Commit. Destroying an uncommitted one removes the temporary, so
// a failed write leaves the old file untouched and nothing behind.
//
// On Linux the temporary has no name while it is written (O_TMPFILE), so
// even a killed process leaves nothing visible; it gets a short name only
// for the moment of the rename. Where the file system refuses that, it is
// a short named file (".quenlo-XXXXXX"), which the signal handlers below
// remove. Short names keep a 255-byte target name writable.
#include <cstddef>
#include <cstdint>
#include <csignal>
#include <string>

namespace quenlo {

enum class TempFile { Unnamed, Named };

class TAtomicFile {
public:
    // A target that is a symbolic link is written through it: the link
    // stays and the file it points to gets the content. An existing file
    // keeps its permissions. Throws EFCreateError when the file cannot be created.
    explicit TAtomicFile(const std::string& target, TempFile temp = TempFile::Unnamed);
    ~TAtomicFile();
    TAtomicFile(const TAtomicFile&) = delete;
    TAtomicFile& operator=(const TAtomicFile&) = delete;

    // Throws EInOutError on a failed or short write.
    void Write(const uint8_t* data, size_t n);
    // Overwrites bytes already written (a header patched at the end).
    // Throws EInOutError, also where the target cannot seek (a pipe).
    void WriteAt(uint64_t offset, const uint8_t* data, size_t n);
    // Closes, checks, and renames over the target. Throws EInOutError.
    void Commit();

    // Whether the content is being written to an unnamed temporary.
    bool Unnamed() const { return unnamed_; }

private:
    void NameTheTemporary();

    std::string target_;  // with symbolic links resolved
    std::string temp_;    // a named temporary; empty while unnamed or writing in place
    int fd_ = -1;
    bool unnamed_ = false;
    bool inPlace_ = false;  // devices and pipes
};

// SIGINT, SIGTERM and SIGHUP remove the named temporaries of every
// uncommitted TAtomicFile and end the process with 128 + the signal's
// number (130, 143, 129). Old targets are untouched: nothing was renamed.
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

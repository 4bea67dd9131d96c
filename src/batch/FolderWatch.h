#pragma once
// Tells which names in a set of folders changed. The kernel's events are
// one way; scanning on a timer is the other, for network shares whose
// writes by other machines no event reports. A port adds its own.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace quenlo {

enum class WatchChange {
    Written,      // data written; the writer may still have the file open
    Closed,       // closed after writing, moved in, or seen changed by a scan
    Gone,         // removed or moved away
    FolderAdded,  // a folder appeared in a watched one
    FolderGone,   // a watched folder was removed or moved away; path is that folder
    Overflow,     // changes were lost: everything must be looked at again
};

// How a folder is watched.
enum class Watching {
    No,      // not at all; errno tells why
    Events,  // by the kernel's events
    Scans,   // by scans on a timer: the kernel would watch no more folders
};

struct WatchNote {
    WatchChange change;
    std::string path;  // folder + name
};

class TFolderWatch {
public:
    virtual ~TFolderWatch();
    TFolderWatch(const TFolderWatch&) = delete;
    TFolderWatch& operator=(const TFolderWatch&) = delete;

    // Watches one folder, not the folders below it.
    virtual Watching Add(const std::string& folder) = 0;
    virtual void Remove(const std::string& folder) = 0;
    // Sleeps until something changed, Wake is called or timeout passes
    // (negative: no time limit), and appends what changed. Writes and
    // closes of one file in a row may come as one note, the last of them.
    virtual void Wait(std::chrono::milliseconds timeout, std::vector<WatchNote>& notes) = 0;
    // Ends a Wait early; safe from any thread and from before the Wait.
    void Wake();

protected:
    TFolderWatch();
    // Sleeps on fd (-1: none) and the wake; true when fd is readable. A wake is consumed.
    bool Sleep(int fd, std::chrono::milliseconds timeout);

private:
    int wakeFd_;
};

// How often kernel events scan the folders beyond the kernel's limit.
inline constexpr std::chrono::milliseconds kOverLimitScan{2000};

// Linux inotify; folders beyond the limit of watches are scanned every
// kOverLimitScan. Throws EQuenlo when the kernel offers no events.
std::unique_ptr<TFolderWatch> KernelFolderWatch();
// Scans the watched folders every `interval`. A folder whose own
// modification time, size and link count are as at its last listing, and
// were already so two seconds before it, is not listed again: adding,
// removing or renaming a name changes them. Every 30 s each folder is
// listed anyway, which finds files rewritten in place; a folder found
// changed behind unchanged times is listed on every scan from then on.
std::unique_ptr<TFolderWatch> PollingFolderWatch(std::chrono::milliseconds interval);

}  // namespace quenlo

#include "scene/NodeWatch.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace quenlo {

namespace {

// Trees on different threads never share nodes, but they share this list.
struct TWatchers {
    std::mutex Lock;
    std::vector<TNodeWatcher*> List;
};

// Never freed: nodes with static lifetime may still go away after it.
TWatchers& Watchers() {
    static TWatchers* w = new TWatchers;
    return *w;
}

}  // namespace

void TNodeWatcher::Watch() {
    if (watching_) return;
    TWatchers& w = Watchers();
    std::lock_guard<std::mutex> hold(w.Lock);
    w.List.push_back(this);
    watching_ = true;
}

void TNodeWatcher::Unwatch() noexcept {
    if (!watching_) return;
    TWatchers& w = Watchers();
    std::lock_guard<std::mutex> hold(w.Lock);
    const auto it = std::find(w.List.begin(), w.List.end(), this);
    if (it != w.List.end()) {
        *it = w.List.back();
        w.List.pop_back();
    }
    watching_ = false;
}

void TNodeWatcher::NodeGone(TVelora& node) noexcept {
    TWatchers& w = Watchers();
    std::lock_guard<std::mutex> hold(w.Lock);
    for (TNodeWatcher* watcher : w.List) watcher->DropNode(node);
}

}  // namespace quenlo

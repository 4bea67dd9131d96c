#pragma once
// Plain pointers to nodes held by those who do not own the nodes: a script
// reader's ParseParent and ParseLast, a hit-test root's HitResult, a view's
// hover and root. Their holders register here, and a node that is being
// freed is dropped from every one of them. The tree alone cannot find them:
// an owner unlinks a node before destroying it, so by then no parent chain
// leads from the node back to the reader or the view.
namespace quenlo {

class TVelora;

class TNodeWatcher {
public:
    TNodeWatcher(const TNodeWatcher&) = delete;
    TNodeWatcher& operator=(const TNodeWatcher&) = delete;

    // Every registered watcher drops its pointers to node, which is about
    // to be freed.
    static void NodeGone(TVelora& node) noexcept;

protected:
    TNodeWatcher() = default;
    ~TNodeWatcher() { Unwatch(); }

    // Registers this watcher; cheap once it is registered.
    void Watch();
    // Derived destructors call this first, so that no node freed while they
    // run reaches a half-destroyed watcher.
    void Unwatch() noexcept;

private:
    // Sets every pointer to node to what it falls back to. Runs under the
    // registry's lock: it must not run code of the nodes or register.
    virtual void DropNode(TVelora& node) noexcept = 0;

    bool watching_ = false;
};

}  // namespace quenlo

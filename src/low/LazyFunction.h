#pragma once
// A std::function kept behind a pointer: 8 bytes while empty instead of 32,
// for callbacks that nearly every object offers and nearly none sets (a
// scene may hold a million nodes, each with two such hooks).
#include <functional>
#include <memory>
#include <utility>

namespace quenlo {

template <class Sig>
class TLazyFunction;

template <class R, class... Args>
class TLazyFunction<R(Args...)> {
public:
    TLazyFunction() = default;
    TLazyFunction(std::nullptr_t) {}  // NOLINT: as std::function

    // Anything a std::function<R(Args...)> takes; an empty one leaves this empty.
    template <class F>
    TLazyFunction& operator=(F&& f) {
        std::function<R(Args...)> fn(std::forward<F>(f));
        fn_ = fn ? std::make_unique<std::function<R(Args...)>>(std::move(fn)) : nullptr;
        return *this;
    }
    TLazyFunction& operator=(std::nullptr_t) {
        fn_.reset();
        return *this;
    }

    explicit operator bool() const { return fn_ != nullptr; }
    R operator()(Args... args) const { return (*fn_)(std::forward<Args>(args)...); }

private:
    std::unique_ptr<std::function<R(Args...)>> fn_;
};

}  // namespace quenlo

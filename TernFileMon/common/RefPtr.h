// One counted reference to an object with AddRef and Release (the change
// handlers): taken once, given back exactly once, whatever path the owner
// leaves by.
#ifndef TERNFILEMON_COMMON_REFPTR_H
#define TERNFILEMON_COMMON_REFPTR_H

#include <utility>

namespace tern {

template <typename T>
class RefPtr {
public:
    RefPtr() noexcept = default;
    ~RefPtr() { Reset(); }

    // Takes over a reference the caller already holds.
    static RefPtr Adopt(T* p) noexcept {
        RefPtr ref;
        ref.m_p = p;
        return ref;
    }
    // Adds a reference of its own.
    static RefPtr Share(T* p) noexcept {
        if (p != nullptr) p->AddRef();
        return Adopt(p);
    }

    RefPtr(const RefPtr&) = delete;
    RefPtr& operator=(const RefPtr&) = delete;
    RefPtr(RefPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    RefPtr& operator=(RefPtr&& other) noexcept {
        if (this != &other) {
            Reset();
            m_p = std::exchange(other.m_p, nullptr);
        }
        return *this;
    }

    T* Get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    T& operator*() const noexcept { return *m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    // Gives the reference back (if any).
    void Reset() noexcept {
        if (T* p = std::exchange(m_p, nullptr)) p->Release();
    }

private:
    T* m_p = nullptr;
};

}  // namespace tern

#endif

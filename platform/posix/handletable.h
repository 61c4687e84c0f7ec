// The objects behind HANDLE and HKEY values. A handle is a small integer that names an entry of
// one process-wide table; the entry holds the object by shared ownership, so a thread that found
// the object keeps it alive while another thread closes the handle.
#pragma once

#include "winapi.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace winapi::posix {

class THandleObject {
public:
    virtual ~THandleObject() = default;
    // Called once, when the handle is closed: ends what other threads still wait for.
    virtual void Close() {}
};

class THandleTable {
public:
    // A fresh value, a multiple of 4 as on Windows: never 0, never INVALID_HANDLE_VALUE, never a
    // predefined registry key.
    HANDLE Insert(std::shared_ptr<THandleObject> Object);
    std::shared_ptr<THandleObject> Find(HANDLE Handle) const;
    template <class T> std::shared_ptr<T> FindAs(HANDLE Handle) const {
        return std::dynamic_pointer_cast<T>(Find(Handle));
    }
    // Takes the entry out of the table; null when Handle names nothing.
    std::shared_ptr<THandleObject> Remove(HANDLE Handle);

private:
    static constexpr std::uintptr_t Step = 4;
    static constexpr std::uintptr_t Last = 0x3FFFFFFC;

    mutable std::mutex fLock;
    std::unordered_map<std::uintptr_t, std::shared_ptr<THandleObject>> fEntries;
    std::uintptr_t fNext = Step;
};

} // namespace winapi::posix

#include "handletable.h"

#include <utility>

namespace winapi::posix {

HANDLE THandleTable::Insert(std::shared_ptr<THandleObject> Object) {
    std::lock_guard Lock(fLock);
    // Values are not reused at once: a stale handle then names nothing rather than another
    // object. After a wrap the next free value is taken.
    while (fEntries.count(fNext) != 0) {
        fNext = fNext >= Last ? Step : fNext + Step;
    }
    const std::uintptr_t Value = fNext;
    fNext = fNext >= Last ? Step : fNext + Step;
    fEntries.emplace(Value, std::move(Object));
    return reinterpret_cast<HANDLE>(Value);
}

std::shared_ptr<THandleObject> THandleTable::Find(HANDLE Handle) const {
    std::lock_guard Lock(fLock);
    const auto Found = fEntries.find(reinterpret_cast<std::uintptr_t>(Handle));
    return Found != fEntries.end() ? Found->second : nullptr;
}

std::shared_ptr<THandleObject> THandleTable::Remove(HANDLE Handle) {
    std::lock_guard Lock(fLock);
    const auto Found = fEntries.find(reinterpret_cast<std::uintptr_t>(Handle));
    if (Found == fEntries.end()) {
        return nullptr;
    }
    std::shared_ptr<THandleObject> Object = std::move(Found->second);
    fEntries.erase(Found);
    return Object;
}

} // namespace winapi::posix

// A file descriptor with one owner, closed when the owner lets it go.
#pragma once

#include <unistd.h>
#include <utility>

namespace winapi::posix {

class TUniqueFd {
public:
    TUniqueFd() = default;
    explicit TUniqueFd(int Fd) : fFd(Fd) {}
    TUniqueFd(TUniqueFd&& Other) noexcept : fFd(std::exchange(Other.fFd, -1)) {}
    TUniqueFd& operator=(TUniqueFd&& Other) noexcept {
        if (this != &Other) {
            Reset(std::exchange(Other.fFd, -1));
        }
        return *this;
    }
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;
    ~TUniqueFd() { Reset(); }

    int Get() const { return fFd; }
    bool IsValid() const { return fFd >= 0; }
    void Reset(int Fd = -1) {
        if (fFd >= 0) {
            ::close(fFd);
        }
        fFd = Fd;
    }

private:
    int fFd = -1;
};

} // namespace winapi::posix

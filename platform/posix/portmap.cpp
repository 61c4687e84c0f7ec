#include "portmap.h"

#include "textcodec.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winapi::posix {

namespace {

namespace fs = std::filesystem;

std::string Environment(const char* Name) {
    const char* Value = std::getenv(Name);
    return Value != nullptr ? std::string(Value) : std::string();
}

std::string HomeFolder() {
    std::string Home = Environment("HOME");
    if (!Home.empty()) {
        return Home;
    }
    passwd Entry{};
    passwd* Result = nullptr;
    char Buffer[4096];
    if (getpwuid_r(getuid(), &Entry, Buffer, sizeof(Buffer), &Result) == 0 && Result != nullptr) {
        return Result->pw_dir;
    }
    return "/";
}

std::u16string UpperCase(std::u16string Text) {
    std::transform(Text.begin(), Text.end(), Text.begin(), FoldCase);
    return Text;
}

std::optional<TPortLink> ReadLink(const fs::directory_entry& Entry) {
    std::error_code Error;
    if (!Entry.is_symlink(Error)) {
        return std::nullopt;
    }
    fs::path Target = fs::read_symlink(Entry.path(), Error);
    if (Error) {
        return std::nullopt;
    }
    if (Target.is_relative()) {
        Target = (Entry.path().parent_path() / Target).lexically_normal();
    }
    return TPortLink{UpperCase(FromUtf8(Entry.path().filename().string())), Entry.path().string(),
                     Target.string()};
}

bool IsPresentDevice(const TPortLink& Link) {
    struct stat Status {};
    return ::stat(Link.LinkPath.c_str(), &Status) == 0 && S_ISCHR(Status.st_mode);
}

} // namespace

std::string ConfigFolder() {
    const std::string Config = Environment("XDG_CONFIG_HOME");
    // A relative XDG_CONFIG_HOME is invalid and is ignored, as the XDG rules ask.
    if (!Config.empty() && Config.front() == '/') {
        return Config;
    }
    return HomeFolder() + "/.config";
}

std::string PortFolder() {
    const std::string Folder = Environment("LXCOMM_PORT_DIR");
    return !Folder.empty() ? Folder : ConfigFolder() + "/lxcomm/ports";
}

std::vector<TPortLink> ListPortLinks() {
    std::vector<TPortLink> Links;
    std::error_code Error;
    for (fs::directory_iterator It(PortFolder(), Error), End; !Error && It != End;
         It.increment(Error)) {
        if (std::optional<TPortLink> Link = ReadLink(*It)) {
            Links.push_back(std::move(*Link));
        }
    }
    std::sort(Links.begin(), Links.end(),
              [](const TPortLink& A, const TPortLink& B) { return A.LinkPath < B.LinkPath; });
    return Links;
}

std::vector<TPortLink> ListPresentPorts() {
    std::vector<TPortLink> Links = ListPortLinks();
    Links.erase(std::remove_if(Links.begin(), Links.end(),
                               [](const TPortLink& Link) { return !IsPresentDevice(Link); }),
                Links.end());
    return Links;
}

std::optional<TPortLink> FindPortLink(std::u16string_view Name) {
    for (TPortLink& Link : ListPortLinks()) {
        if (SameName(Link.Name, Name)) {
            return std::move(Link);
        }
    }
    return std::nullopt;
}

} // namespace winapi::posix

#include "plugins/PluginTrust.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/Files.h"

namespace {

constexpr uid_t Root = 0;

// Why the file or folder at Path, described as What, is not safe to load code from.
std::string Distrust(const std::string& path, const char* what, uid_t trustedOwner) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return std::string(what) + ": " + std::strerror(errno);
    if (info.st_mode & (S_IWGRP | S_IWOTH)) return std::string(what) + " may be written by group or others";
    if (info.st_uid != Root && info.st_uid != trustedOwner)
        return std::string(what) + " belongs to neither root nor the program's owner";
    return {};
}

std::string FolderOf(const std::string& path) {
    const std::string folder = host::ExtractFilePath(path);
    return folder.empty() ? "." : folder;
}

}  // namespace

uid_t ExecutableOwner() {
    struct stat info {};
    const std::string executable = host::ExecutablePath();
    return !executable.empty() && stat(executable.c_str(), &info) == 0 ? info.st_uid : Root;
}

std::string PluginDistrust(const std::string& Path, uid_t TrustedOwner) {
    char resolved[PATH_MAX];
    if (!realpath(Path.c_str(), resolved)) return std::strerror(errno);
    const std::string target = resolved;
    std::string reason = Distrust(FolderOf(Path), "its folder", TrustedOwner);
    if (reason.empty()) reason = Distrust(target, "it", TrustedOwner);
    if (reason.empty() && FolderOf(target) != FolderOf(Path)) reason = Distrust(FolderOf(target), "its folder", TrustedOwner);
    return reason;
}

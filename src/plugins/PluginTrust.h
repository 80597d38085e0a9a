#pragma once

#include <sys/types.h>

#include <string>

// Whether a plug-in library may be loaded at all. Loading runs the library's code with
// the caller's rights, so a library that someone else could have put or changed there is
// refused before it is opened: the file and its folder (the one it was found in, and the
// one it really lies in when it is a link) must be writable by their owner alone, and
// that owner must be root or TrustedOwner.

// The owner of the running executable, whom plug-ins beside it may belong to as well;
// root when it cannot be told.
uid_t ExecutableOwner();

// Why the library at Path must not be loaded, or "" when it may.
std::string PluginDistrust(const std::string& Path, uid_t TrustedOwner);

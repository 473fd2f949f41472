#pragma once

#include <string>

#include "platform/posix/result.h"

// Whether a bundle on disk is the application the helper serves. The install right lets its
// holder replace a bundle in "/Applications" and have root start it, and the uninstall right lets
// root remove one: both are for the application alone, which its code signature names.
namespace application_bundle {

// Success when the bundle at path is the application: its code is valid and satisfies
// requirement (the helper's own client requirement), and its signed main executable is the one
// its launchd jobs run ("Contents/MacOS/Corvana"). Otherwise a failure whose description reads
// "PATH does not satisfy the client requirement: REASON" (or names the executable). shown is the
// path the description names (the bundle may be read through another, a descriptor's say).
result<> check(const std::string& path, const std::string& shown, const std::string& requirement);

// Whether the bundle at path may be removed as the application: check() succeeds, or its
// signature is damaged but its information property list names it the application
// (CFBundleIdentifier equal to the client identifier), so a broken install can still go.
// Otherwise check()'s failure.
result<> recognised_for_removal(const std::string& path, const std::string& requirement);

// Whether the bundle at path, in "/Applications", may be replaced by an install of the
// application: check()'s code part succeeds, or its information property list names it the
// application (CFBundleIdentifier equal to the client identifier), whatever its signature says:
// an older version that the requirement no longer accepts, or a damaged one, is still the
// application's to replace, and only root can have put it there. Otherwise check()'s failure.
result<> replaceable(const std::string& path, const std::string& requirement);

}  // namespace application_bundle

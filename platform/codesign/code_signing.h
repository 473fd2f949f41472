#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "platform/codesign/code_requirement.h"
#include "platform/codesign/code_signing_process.h"
#include "platform/codesign/code_signing_status.h"
#include "platform/posix/audit_token.h"

// The code-signing services: what the platform's SecCode and SecStaticCode answer about a
// running process or a bundle on disk.
//
// Signed code is a bundle, NAME.app/Contents/MacOS/EXE with NAME.app/Contents/Info.plist, whose
// Contents/_CodeSignature holds a code directory and a detached CMS signature over it (see
// code_signing_directory.h). An executable outside a bundle is unsigned: there is no place for a
// signature beside it that a requirement on the bundle's information could be checked against.
//
// Code is valid when the signature verifies over the code directory, the signer's chain ends in
// a trust anchor ("/etc/codesign/anchors/"), and the hashes of the main executable and
// Info.plist match the files. Running code is valid only while, in addition, no other process of
// its user can reach into it (it is non-dumpable, in our user namespace, untraced), every other
// file mapped executable into it is owned by root and writable by nobody else, and none of its
// code was changed after it was loaded.

// What a check of running code may spend: it gives up (errSecCSCancelled) between its steps once
// the deadline has passed or abandoned answers true (the peer that asked has gone, say).
struct code_check_limits_t {
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    std::function<bool()> abandoned;

    [[nodiscard]] bool reached() const {
        return std::chrono::steady_clock::now() >= deadline || (abandoned && abandoned());
    }
};

// A running process (the platform's SecCodeRef for a guest).
class sec_code_t {
  public:
    pid_t pid() const { return process_.pid(); }
    // The file the process executes, as the kernel names it.
    std::optional<std::string> executable_path() const { return process_.executable_path(); }

    // Whether a message the kernel stamped with these credentials was sent by this code as it
    // was checked: by the process itself, with its user, still running the program image the
    // last successful SecCodeCheckValidity judged. False before any such check. A message sent
    // by the process before an exec and read after it can't pass: the image moves forward only.
    [[nodiscard]] bool is_sender(pid_t pid, uid_t uid) const;

  private:
    explicit sec_code_t(code_signing::pinned_process_t process) : process_(std::move(process)) {}
    friend std::optional<sec_code_t> SecCodeCopyGuestWithAttributes(const audit_token_t& audit);
    friend OSStatus SecCodeCheckValidity(sec_code_t& code, const sec_requirement_t* requirement,
                                         const code_check_limits_t& limits);

    code_signing::pinned_process_t process_;
    uid_t uid_ = static_cast<uid_t>(-1);
    std::optional<code_signing::image_watch_t> checked_image_;
};

// A bundle on disk (the platform's SecStaticCodeRef).
class sec_static_code_t {
  public:
    const std::string& path() const { return path_; }

  private:
    explicit sec_static_code_t(std::string path) : path_(std::move(path)) {}
    friend std::optional<sec_static_code_t> SecStaticCodeCreateWithPath(const std::string& path);

    std::string path_;
};

// The code of the process an audit token names (the attribute "audit"; no host, default flags).
// Nothing when the token names no live process or the process at its PID is not the one the
// token was taken from.
[[nodiscard]] std::optional<sec_code_t> SecCodeCopyGuestWithAttributes(const audit_token_t& audit);

// Checks running code (default flags): who can reach into it, its signature and, when given, the
// requirement, then what it maps and whether another process shares its memory: the cheap and
// decisive steps first, those whose cost the process can drive last. errSecSuccess or the first
// failure found (errSecCSCancelled when the limits ended it). On success the code remembers the
// program image it judged, for is_sender.
[[nodiscard]] OSStatus SecCodeCheckValidity(sec_code_t& code, const sec_requirement_t* requirement,
                                            const code_check_limits_t& limits = {});

// A bundle directory (NAME.app) or a bare executable on disk.
[[nodiscard]] std::optional<sec_static_code_t> SecStaticCodeCreateWithPath(const std::string& path);

// Checks code on disk: its signature and, when given, the requirement.
[[nodiscard]] OSStatus SecStaticCodeCheckValidity(const sec_static_code_t& code,
                                                  const sec_requirement_t* requirement);

#pragma once

#include "platform/posix/result.h"
#include "platform/status/os_status.h"

// Results of the code-signing services, with the platform's values.

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecCSNoSuchCode = -67065;         // no such process (any more)
inline constexpr OSStatus errSecCSGuestInvalid = -67063;       // traced, or foreign code mapped in
inline constexpr OSStatus errSecCSUnsigned = -67062;           // no signature (or not in a bundle)
inline constexpr OSStatus errSecCSSignatureFailed = -67061;    // signature or hashes don't match
inline constexpr OSStatus errSecCSReqInvalid = -67052;         // no requirement to check against
inline constexpr OSStatus errSecCSReqFailed = -67050;          // valid, but not what was required
inline constexpr OSStatus errSecCSBadObjectFormat = -67049;    // damaged code directory
inline constexpr OSStatus errSecCSStaticCodeChanged = -67034;  // file replaced since it started
inline constexpr OSStatus errSecCSInfoPlistFailed = -67030;  // information list missing or damaged
inline constexpr OSStatus errSecCSNoMainExecutable = -67029;
inline constexpr OSStatus errSecCSBadBundleFormat = -67028;
inline constexpr OSStatus errSecCSCancelled = -67006;  // given up: out of time, or nobody asks
inline constexpr OSStatus errSecCSTooBig = -67004;
inline constexpr OSStatus errSecCSSignatureUntrusted = -66996;  // chain not in a trust anchor
inline constexpr OSStatus errSecUnknownCriticalExtensionFlag = -67603;  // critical, not understood

// A short English description of a status, for people reading a tool's output.
[[nodiscard]] const char* code_signing_status_text(OSStatus status);

// Where a status leaves the stand-in for the result type of the layers above: success, or a
// failure described by the status's text.
result<> code_signing_result(OSStatus status);

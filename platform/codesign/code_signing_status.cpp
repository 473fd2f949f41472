#include "platform/codesign/code_signing_status.h"

const char* code_signing_status_text(OSStatus status) {
    switch (status) {
        case errSecSuccess:
            return "valid";
        case errSecCSNoSuchCode:
            return "no such code: the process is gone";
        case errSecCSGuestInvalid:
            return "the running code is invalid: it is traced or has foreign code loaded";
        case errSecCSUnsigned:
            return "code object is not signed at all";
        case errSecCSSignatureFailed:
            return "invalid signature: code or signature have been modified";
        case errSecCSReqInvalid:
            return "invalid requirement";
        case errSecCSReqFailed:
            return "the code does not satisfy the requirement";
        case errSecCSBadObjectFormat:
            return "the code directory is damaged";
        case errSecCSStaticCodeChanged:
            return "the code on disk does not match what is running";
        case errSecCSInfoPlistFailed:
            return "the bundle's Info.plist is missing or damaged";
        case errSecCSNoMainExecutable:
            return "the bundle names no main executable";
        case errSecCSBadBundleFormat:
            return "not a bundle: expected NAME.app/Contents/Info.plist";
        case errSecCSCancelled:
            return "the check was given up: it ran out of time or nobody waits for it";
        case errSecCSTooBig:
            return "a file of the code or its signature is too large";
        case errSecCSSignatureUntrusted:
            return "the signing certificate is not trusted: its chain ends in no trust anchor";
        case errSecUnknownCriticalExtensionFlag:
            return "a certificate of the signing chain has a critical extension that is not "
                   "understood";
        default:
            return "unknown code-signing error";
    }
}

result<> code_signing_result(OSStatus status) {
    if (status == errSecSuccess) {
        return result<>::success();
    }
    return result<>::failure(code_signing_status_text(status));
}

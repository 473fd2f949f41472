#include "tools/codesign/codesign_command.h"

#include <algorithm>
#include <map>
#include <optional>

#include "platform/certificates.h"
#include "platform/code_requirement.h"
#include "platform/code_signing.h"
#include "platform/code_signing_sign.h"

namespace codesign_tool {

namespace {

constexpr const char* usage_text =
    "usage: corvana-codesign sign --identifier ID --cert LEAF.pem --key LEAF.key "
    "[--chain CHAIN.pem] BUNDLE.app\n"
    "       corvana-codesign verify [--requirement TEXT] BUNDLE.app\n"
    "\n"
    "sign    writes BUNDLE.app/Contents/_CodeSignature: the bundle's main executable and\n"
    "        Info.plist, signed as ID by the leaf certificate; the team identifier is the leaf's\n"
    "        subject OU. --chain adds the intermediate certificates up to (not including) the "
    "root.\n"
    "verify  checks the signature against the trust anchors in /etc/codesign/anchors/ and, with\n"
    "        --requirement, that the bundle satisfies the requirement text.\n"
    "\n"
    "exit status: 0 done or valid, 1 failed or not valid, 2 usage error\n";

struct command_line {
    std::string command;
    std::map<std::string, std::string> options;
    std::string bundle;
};

// Parses COMMAND {--option VALUE} BUNDLE with only the allowed options, each at most once.
std::optional<command_line> parse(const std::vector<std::string>& arguments,
                                  const std::vector<std::string>& allowed, std::ostream& err) {
    command_line line;
    line.command = arguments.front();
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.starts_with("--")) {
            if (std::find(allowed.begin(), allowed.end(), argument) == allowed.end()) {
                err << "corvana-codesign: unknown option " << argument << " for " << line.command
                    << "\n";
                return std::nullopt;
            }
            if (i + 1 == arguments.size()) {
                err << "corvana-codesign: " << argument << " needs a value\n";
                return std::nullopt;
            }
            if (!line.options.emplace(argument, arguments[i + 1]).second) {
                err << "corvana-codesign: " << argument << " given twice\n";
                return std::nullopt;
            }
            ++i;
        } else if (line.bundle.empty()) {
            line.bundle = argument;
        } else {
            err << "corvana-codesign: more than one bundle given\n";
            return std::nullopt;
        }
    }
    if (line.bundle.empty()) {
        err << "corvana-codesign: no bundle given\n";
        return std::nullopt;
    }
    return line;
}

int usage(std::ostream& err) {
    err << usage_text;
    return exit_usage;
}

int sign(const command_line& line, std::ostream& out, std::ostream& err) {
    for (const char* required : {"--identifier", "--cert", "--key"}) {
        if (!line.options.contains(required)) {
            err << "corvana-codesign: sign needs " << required << "\n";
            return usage(err);
        }
    }
    const std::string& cert_path = line.options.at("--cert");
    auto certificates = certificates::read_pem_certificates(cert_path);
    if (!certificates) {
        err << "corvana-codesign: " << cert_path << ": no PEM certificate in it\n";
        return exit_failed;
    }
    const std::string& key_path = line.options.at("--key");
    evp_pkey_ptr key = certificates::read_pem_private_key(key_path);
    if (!key) {
        err << "corvana-codesign: " << key_path << ": no unencrypted PEM private key in it\n";
        return exit_failed;
    }
    // Certificates after the leaf in its own file belong to the chain as well.
    certificate_chain_t chain;
    for (std::size_t i = 1; i < certificates->size(); ++i) {
        chain.push_back(std::move((*certificates)[i]));
    }
    if (auto found = line.options.find("--chain"); found != line.options.end()) {
        auto extra = certificates::read_pem_certificates(found->second);
        if (!extra) {
            err << "corvana-codesign: " << found->second << ": no PEM certificate in it\n";
            return exit_failed;
        }
        for (auto& certificate : *extra) {
            chain.push_back(std::move(certificate));
        }
    }
    X509* leaf = certificates->front().get();
    const std::string& identifier = line.options.at("--identifier");
    auto result = code_signing::sign_bundle(line.bundle, identifier, leaf, key.get(), chain);
    if (!result.ok) {
        err << "corvana-codesign: " << line.bundle << ": " << result.description << "\n";
        return exit_failed;
    }
    auto teams = certificates::subject_values(leaf, "OU");
    out << line.bundle << ": signed as " << identifier;
    if (!teams.empty()) {
        out << ", team " << teams.front();
    }
    out << "\n";
    return exit_ok;
}

int verify(const command_line& line, std::ostream& out, std::ostream& err) {
    std::optional<sec_requirement_t> requirement;
    if (auto found = line.options.find("--requirement"); found != line.options.end()) {
        requirement = SecRequirementCreateWithString(found->second);
        if (!requirement) {
            err << "corvana-codesign: the requirement text does not compile\n";
            return usage(err);
        }
    }
    auto code = SecStaticCodeCreateWithPath(line.bundle);
    if (!code) {
        err << "corvana-codesign: " << line.bundle << ": no such bundle\n";
        return exit_failed;
    }
    OSStatus status = SecStaticCodeCheckValidity(*code, nullptr);
    if (status != errSecSuccess) {
        err << "corvana-codesign: " << line.bundle << ": " << code_signing_status_text(status)
            << " (" << status << ")\n";
        return exit_failed;
    }
    out << line.bundle << ": valid on disk\n";
    if (requirement) {
        status = SecStaticCodeCheckValidity(*code, &*requirement);
        if (status != errSecSuccess) {
            err << "corvana-codesign: " << line.bundle << ": " << code_signing_status_text(status)
                << " (" << status << ")\n";
            return exit_failed;
        }
        out << line.bundle << ": satisfies its requirement\n";
    }
    return exit_ok;
}

}  // namespace

int run(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    if (arguments.empty()) {
        return usage(err);
    }
    const std::string& command = arguments.front();
    if (command == "help" || command == "--help" || command == "-h") {
        out << usage_text;
        return exit_ok;
    }
    if (command == "sign") {
        auto line = parse(arguments, {"--identifier", "--cert", "--key", "--chain"}, err);
        return line ? sign(*line, out, err) : usage(err);
    }
    if (command == "verify") {
        auto line = parse(arguments, {"--requirement"}, err);
        return line ? verify(*line, out, err) : usage(err);
    }
    err << "corvana-codesign: unknown command " << command << "\n";
    return usage(err);
}

}  // namespace codesign_tool

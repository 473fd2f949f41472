#include "tools/codesign/codesign_command.h"

#include <map>
#include <optional>

#include "base/long_options.h"
#include "platform/codesign/certificates.h"
#include "platform/codesign/code_requirement.h"
#include "platform/codesign/code_signing.h"
#include "platform/codesign/code_signing_sign.h"

namespace codesign_tool {

namespace {

constexpr const char* k_sign_synopsis =
    "corvana-codesign sign --identifier ID --cert LEAF.pem --key LEAF.key "
    "[--chain CHAIN.pem] BUNDLE.app\n";
constexpr const char* k_verify_synopsis =
    "corvana-codesign verify [--requirement TEXT] BUNDLE.app\n";
constexpr const char* k_sign_description =
    "sign    writes BUNDLE.app/Contents/_CodeSignature: the bundle's main executable and\n"
    "        Info.plist, signed as ID by the leaf certificate; the team identifier is the leaf's\n"
    "        subject OU. --chain adds the intermediate certificates up to (not including) the "
    "root.\n";
constexpr const char* k_verify_description =
    "verify  checks the signature against the trust anchors in /etc/codesign/anchors/ and, with\n"
    "        --requirement, that the bundle satisfies the requirement text.\n";
constexpr const char* k_exit_status_text =
    "exit status: 0 done or valid, 1 failed or not valid, 2 usage error\n";

const std::string usage_text = std::string("usage: ") + k_sign_synopsis + "       " +
                               k_verify_synopsis + "\n" + k_sign_description +
                               k_verify_description + "\n" + k_exit_status_text;

struct command_spec {
    std::string name;
    std::vector<std::string> options;
    const char* synopsis;
    const char* description;

    std::string usage() const {
        return std::string("usage: ") + synopsis + "\n" + description + "\n" + k_exit_status_text;
    }
};

const command_spec sign_command{
    "sign", {"identifier", "cert", "key", "chain"}, k_sign_synopsis, k_sign_description};
const command_spec verify_command{
    "verify", {"requirement"}, k_verify_synopsis, k_verify_description};

struct command_line {
    std::string command;
    std::map<std::string, std::string> options;  // by "--name"
    std::string bundle;
    bool help = false;
};

// Parses COMMAND {--option VALUE | --option=VALUE} BUNDLE with only the command's options, each
// at most once.
std::optional<command_line> parse(const std::vector<std::string>& arguments,
                                  const command_spec& spec, std::ostream& err) {
    std::vector<long_options::option_spec> specs = {{"help", false, 'h'}};
    for (const auto& name : spec.options) {
        specs.push_back({name});
    }
    const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
    long_options::parsed_line parsed =
        long_options::parse(rest, specs, long_options::word_order::anywhere);
    if (!parsed.error.empty()) {
        err << "corvana-codesign " << spec.name << ": " << parsed.error << "\n";
        return std::nullopt;
    }
    command_line line;
    line.command = spec.name;
    if (parsed.has("help")) {
        line.help = true;
        return line;
    }
    for (const auto& [name, value] : parsed.options) {
        if (!line.options.emplace("--" + name, value).second) {
            err << "corvana-codesign: --" << name << " given twice\n";
            return std::nullopt;
        }
    }
    if (parsed.words.size() > 1) {
        err << "corvana-codesign: more than one bundle given\n";
        return std::nullopt;
    }
    if (parsed.words.empty() || parsed.words.front().empty()) {
        err << "corvana-codesign: no bundle given\n";
        return std::nullopt;
    }
    line.bundle = parsed.words.front();
    return line;
}

int usage(std::ostream& err) {
    err << usage_text;
    return k_exit_usage;
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
        return k_exit_failed;
    }
    const std::string& key_path = line.options.at("--key");
    evp_pkey_ptr key = certificates::read_pem_private_key(key_path);
    if (!key) {
        err << "corvana-codesign: " << key_path << ": no unencrypted PEM private key in it\n";
        return k_exit_failed;
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
            return k_exit_failed;
        }
        for (auto& certificate : *extra) {
            chain.push_back(std::move(certificate));
        }
    }
    X509* leaf = certificates->front().get();
    const std::string& identifier = line.options.at("--identifier");
    auto result = code_signing::sign_bundle(line.bundle, identifier, leaf, key.get(), chain);
    if (!result) {
        err << "corvana-codesign: " << line.bundle << ": " << result.description() << "\n";
        return k_exit_failed;
    }
    auto teams = certificates::subject_values(leaf, "OU");
    out << line.bundle << ": signed as " << identifier;
    if (!teams.empty()) {
        out << ", team " << teams.front();
    }
    out << "\n";
    return k_exit_ok;
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
        return k_exit_failed;
    }
    OSStatus status = SecStaticCodeCheckValidity(*code, nullptr);
    if (status != errSecSuccess) {
        err << "corvana-codesign: " << line.bundle << ": " << code_signing_status_text(status)
            << " (" << status << ")\n";
        return k_exit_failed;
    }
    out << line.bundle << ": valid on disk\n";
    if (requirement) {
        status = SecStaticCodeCheckValidity(*code, &*requirement);
        if (status != errSecSuccess) {
            err << "corvana-codesign: " << line.bundle << ": " << code_signing_status_text(status)
                << " (" << status << ")\n";
            return k_exit_failed;
        }
        out << line.bundle << ": satisfies its requirement\n";
    }
    return k_exit_ok;
}

}  // namespace

int run(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    long_options::parsed_line global =
        long_options::parse(arguments, {{"help", false, 'h'}, {"version", false}},
                            long_options::word_order::first_ends_options);
    if (!global.error.empty()) {
        err << "corvana-codesign: " << global.error << "\n";
        return usage(err);
    }
    if (global.has("version")) {
        out << "corvana-codesign " << CORVANA_VERSION << "\n";
        return k_exit_ok;
    }
    if (global.has("help") || (!global.words.empty() && global.words.front() == "help")) {
        out << usage_text;
        return k_exit_ok;
    }
    if (global.words.empty()) {
        return usage(err);
    }
    const std::string& command = global.words.front();
    for (const command_spec* spec : {&sign_command, &verify_command}) {
        if (command != spec->name) {
            continue;
        }
        auto line = parse(global.words, *spec, err);
        if (!line) {
            return usage(err);
        }
        if (line->help) {
            out << spec->usage();
            return k_exit_ok;
        }
        return spec == &sign_command ? sign(*line, out, err) : verify(*line, out, err);
    }
    err << "corvana-codesign: unknown command " << command << "\n";
    return usage(err);
}

}  // namespace codesign_tool

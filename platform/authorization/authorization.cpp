#include "platform/authorization/authorization.h"

#include <errno.h>
#include <openssl/evp.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <utility>

#include "platform/authorization/authorization_rules.h"
#include "platform/authorization/authorization_store.h"
#include "platform/authorization/client_form.h"
#include "platform/authorization/polkit_authority.h"

// Reaches the reference's token hash for the operations below.
struct authorization_access {
    static const authorization_store_t::token_hash_t& hash(const AuthorizationRef& ref) {
        return ref.token_hash_;
    }
    static const std::optional<AuthorizationPresenter>& presenter(const AuthorizationRef& ref) {
        return ref.presenter_;
    }
    static void set(AuthorizationRef& ref, const authorization_store_t::token_hash_t& hash,
                    const AuthorizationPresenter* presenter) {
        ref.token_hash_ = hash;
        ref.valid_ = true;
        if (presenter != nullptr) {
            ref.presenter_ = *presenter;
        }
    }
    static void clear(AuthorizationRef& ref) {
        ref.token_hash_.fill(0);
        ref.valid_ = false;
        ref.presenter_.reset();
    }
};

namespace {

using token_hash_t = authorization_store_t::token_hash_t;
using store_t = std::optional<authorization_store_t>;

constexpr AuthorizationFlags k_copy_flags =
    kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights;
constexpr std::size_t k_max_description = 4096;
constexpr std::size_t k_max_table_name = 256;
// A client's clock may run a little ahead of ours.
constexpr std::int64_t k_client_clock_skew_seconds = 60;

// Only the hash is ever stored, so a copy of the database does not hand out live tokens.
bool hash_token(const AuthorizationExternalForm& form, token_hash_t& hash) {
    unsigned int length = 0;
    return EVP_Digest(form.bytes.data(), form.bytes.size(), hash.data(), &length, EVP_sha256(),
                      nullptr) == 1 &&
           length == hash.size();
}

// Never one that looks client-made: root's tokens and clients' forms must not be confusable.
bool random_token(AuthorizationExternalForm& form) {
    do {
        form.bytes.fill(0);
        std::size_t filled = 0;
        while (filled < form.bytes.size()) {
            const ssize_t got =
                ::getrandom(form.bytes.data() + filled, form.bytes.size() - filled, 0);
            if (got < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            filled += static_cast<std::size_t>(got);
        }
    } while (is_client_form(form.bytes));
    return true;
}

std::int64_t now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

// Live means before its expiry, and not further from it than a lifetime: a clock set back must
// not stretch an authorization's life.
bool is_live(const authorization_store_t::stored_authorization_t& record) {
    const std::int64_t t = now();
    return t < record.expires && record.expires - t <= kAuthorizationLifetimeSeconds;
}

bool text_is_valid(const std::string& text, std::size_t limit) {
    return text.size() <= limit && text.find('\0') == std::string::npos;
}

// The live stored authorization behind a token hash, read inside the caller's transaction.
OSStatus live_authorization(authorization_store_t& store, const token_hash_t& hash,
                            std::optional<authorization_store_t::stored_authorization_t>& record) {
    const OSStatus status = store.find_authorization(hash, record);
    if (status != errAuthorizationSuccess) {
        return status;
    }
    return record && is_live(*record) ? errAuthorizationSuccess : errAuthorizationDenied;
}

// Changing the rights table: the authorization must be live and its user an administrator.
OSStatus may_change_rights(authorization_store_t& store, const AuthorizationRef& ref) {
    std::optional<authorization_store_t::stored_authorization_t> record;
    const OSStatus status = live_authorization(store, authorization_access::hash(ref), record);
    if (status != errAuthorizationSuccess) {
        return status;
    }
    return authorization_user_is_administrator(record->uid) ? errAuthorizationSuccess
                                                            : errAuthorizationDenied;
}

// Opens the store and begins a transaction on it: empty when either fails. The caller declares
// the store first, so the transaction ends before the connection closes.
std::optional<sqlite_transaction_t> begin_on_store(store_t& store,
                                                   sqlite_transaction_t::kind kind) {
    if (authorization_store_t::open(store) != errAuthorizationSuccess) {
        return std::nullopt;
    }
    return sqlite_transaction_t::begin(store->handle(), kind);
}

// A change to the rights table: one write transaction in which the authorization is checked and
// `change` (returning the store's status) is made and committed.
template <typename Change>
OSStatus change_rights(const AuthorizationRef& authorization, bool arguments_valid,
                       const Change& change) {
    if (!authorization) {
        return errAuthorizationInvalidRef;
    }
    if (!arguments_valid) {
        return errSecParam;
    }
    store_t store;
    auto transaction = begin_on_store(store, sqlite_transaction_t::kind::write);
    if (!transaction) {
        return errAuthorizationInternal;
    }
    const OSStatus allowed = may_change_rights(*store, authorization);
    if (allowed != errAuthorizationSuccess) {
        return allowed;
    }
    if (change(*store) != errAuthorizationSuccess || !transaction->commit()) {
        return errAuthorizationInternal;
    }
    return errAuthorizationSuccess;
}

}  // namespace

AuthorizationRef::AuthorizationRef(AuthorizationRef&& other) noexcept
    : valid_(std::exchange(other.valid_, false)), token_hash_(other.token_hash_) {
    other.token_hash_.fill(0);
}

AuthorizationRef& AuthorizationRef::operator=(AuthorizationRef&& other) noexcept {
    if (this != &other) {
        valid_ = std::exchange(other.valid_, false);
        token_hash_ = other.token_hash_;
        other.token_hash_.fill(0);
    }
    return *this;
}

namespace {

// A stored authorization may be used by this presenter: a client-made one only by its own user.
OSStatus usable_by(const authorization_store_t::stored_authorization_t& record,
                   const AuthorizationPresenter* presenter) {
    if (!record.client_made) {
        return errAuthorizationSuccess;
    }
    return presenter != nullptr && presenter->process.uid == record.uid ? errAuthorizationSuccess
                                                                        : errAuthorizationDenied;
}

// The record behind a presented form, judged in the caller's transaction: whether it exists, and
// whether this presenter may use it now.
OSStatus judge_presented(authorization_store_t& store, const token_hash_t& hash,
                         const AuthorizationPresenter* presenter, bool& found) {
    std::optional<authorization_store_t::stored_authorization_t> record;
    if (store.find_authorization(hash, record) != errAuthorizationSuccess) {
        return errAuthorizationInternal;
    }
    found = record.has_value();
    if (!record) {
        return errAuthorizationDenied;
    }
    const OSStatus usable = usable_by(*record, presenter);
    if (usable != errAuthorizationSuccess) {
        return usable;
    }
    return is_live(*record) ? errAuthorizationSuccess : errAuthorizationDenied;
}

// Records a client-made form on its first presentation, in a write transaction of its own that
// looks for it again (another thread may have recorded it meanwhile).
OSStatus record_client_form(const AuthorizationExternalForm& form, const token_hash_t& hash,
                            const AuthorizationPresenter& presenter) {
    const auto made = client_form_made_at(form.bytes);
    const std::int64_t t = now();
    if (!made || *made > t + k_client_clock_skew_seconds ||
        *made + kAuthorizationLifetimeSeconds <= t) {
        return errAuthorizationDenied;  // from the future, or already past its life
    }
    const uid_t uid = presenter.process.uid;
    store_t store;
    auto transaction = begin_on_store(store, sqlite_transaction_t::kind::write);
    if (!transaction) {
        return errAuthorizationInternal;
    }
    bool found = false;
    const OSStatus recorded = judge_presented(*store, hash, &presenter, found);
    if (found || recorded == errAuthorizationInternal) {
        return recorded;
    }
    std::int64_t count = 0;
    if (store->remove_expired(t) != errAuthorizationSuccess ||
        store->count_client_made(uid, t, count) != errAuthorizationSuccess) {
        return errAuthorizationInternal;
    }
    if (count >= kAuthorizationMaxClientMadePerUser) {
        return errAuthorizationDenied;
    }
    const std::string user = authorization_user_name(uid).value_or(std::to_string(uid));
    if (store->insert_authorization(hash, uid, user, t,
                                    std::min(*made, t) + kAuthorizationLifetimeSeconds, {},
                                    true) != errAuthorizationSuccess ||
        !transaction->commit()) {
        return errAuthorizationInternal;
    }
    return errAuthorizationSuccess;
}

OSStatus create_from_external_form(const AuthorizationExternalForm& form,
                                   const AuthorizationPresenter* presenter,
                                   AuthorizationRef& authorization) {
    authorization_access::clear(authorization);
    token_hash_t hash{};
    if (!hash_token(form, hash)) {
        return errAuthorizationInternal;
    }
    OSStatus status = errAuthorizationDenied;
    bool first_presentation = false;
    {
        store_t store;
        auto transaction = begin_on_store(store, sqlite_transaction_t::kind::read);
        if (!transaction) {
            return errAuthorizationInternal;
        }
        bool found = false;
        status = judge_presented(*store, hash, presenter, found);
        if (status == errAuthorizationInternal) {
            return status;
        }
        first_presentation = !found && presenter != nullptr && is_client_form(form.bytes);
    }
    if (first_presentation) {
        status = record_client_form(form, hash, *presenter);
    }
    if (status != errAuthorizationSuccess) {
        return status;
    }
    authorization_access::set(authorization, hash, presenter);
    return errAuthorizationSuccess;
}

OSStatus ask_polkit(const AuthorizationPresenter& presenter, const std::string& right,
                    const std::string& message) {
    polkit_request_t request;
    const audit_token_t& process = presenter.process;
    request.subject = {process.pid, process.uid, process.start_time, process.pidfd};
    request.action_id = polkit_action_id(right);
    request.message = message;
    if (presenter.connection_fd >= 0) {
        request.cancel_when.push_back({presenter.connection_fd, POLLRDHUP, 0});
    }
    if (process.pidfd >= 0) {
        request.cancel_when.push_back({process.pidfd, POLLIN, 0});  // the process has ended
    }
    switch (polkit_check_authorization(request)) {
        case polkit_answer_t::granted:
            return errAuthorizationSuccess;
        case polkit_answer_t::dismissed:
            return errAuthorizationCanceled;
        case polkit_answer_t::no_agent:
            return errAuthorizationInteractionNotAllowed;
        case polkit_answer_t::denied:
        case polkit_answer_t::unavailable:
            break;
    }
    return errAuthorizationDenied;
}

std::optional<std::string> environment_prompt(const AuthorizationEnvironment* environment) {
    if (environment == nullptr) {
        return std::nullopt;
    }
    for (const auto& item : *environment) {
        if (item.name == kAuthorizationEnvironmentPrompt) {
            std::string text(item.value.begin(), item.value.end());
            if (text_is_valid(text, k_max_description)) {
                return text;
            }
        }
    }
    return std::nullopt;
}

}  // namespace

OSStatus AuthorizationCreateFromExternalForm(const AuthorizationExternalForm& form,
                                             AuthorizationRef& authorization) {
    return create_from_external_form(form, nullptr, authorization);
}

OSStatus AuthorizationCreateFromExternalForm(const AuthorizationExternalForm& form,
                                             const AuthorizationPresenter& presenter,
                                             AuthorizationRef& authorization) {
    return create_from_external_form(form, &presenter, authorization);
}

const char* AuthorizationDecisionName(AuthorizationDecision decision) {
    switch (decision) {
        case AuthorizationDecision::token:
            return "token";
        case AuthorizationDecision::rule:
            return "rule";
        case AuthorizationDecision::polkit:
            return "polkit";
        case AuthorizationDecision::refused:
            break;
    }
    return "refused";
}

OSStatus AuthorizationCopyRights(const AuthorizationRef& authorization,
                                 const AuthorizationRights& rights, AuthorizationFlags flags,
                                 const AuthorizationEnvironment* environment,
                                 AuthorizationDecision* decided) {
    AuthorizationDecision ignored = AuthorizationDecision::refused;
    AuthorizationDecision& decision = decided != nullptr ? *decided : ignored;
    decision = AuthorizationDecision::refused;
    if (!authorization) {
        return errAuthorizationInvalidRef;
    }
    if ((flags & ~k_copy_flags) != 0 || rights.empty() ||
        !std::all_of(rights.begin(), rights.end(),
                     [](const auto& item) { return authorization_name_is_valid(item.name); })) {
        return errSecParam;
    }
    const auto& hash = authorization_access::hash(authorization);
    // (right, message) for each right an administrator must authenticate for now.
    std::vector<std::pair<std::string, std::string>> to_ask;
    std::optional<authorization_store_t::stored_authorization_t> record;
    {
        store_t store;
        // One read transaction: the authorization and the rules are judged as of one moment. It
        // ends before anyone is asked: a person may take minutes, and the store must not be held
        // for them.
        auto transaction = begin_on_store(store, sqlite_transaction_t::kind::read);
        if (!transaction) {
            return errAuthorizationInternal;
        }
        OSStatus status = live_authorization(*store, hash, record);
        if (status != errAuthorizationSuccess) {
            return status;
        }
        for (const auto& item : rights) {
            std::optional<AuthorizationRightDefinition> definition;
            if (store->find_right(item.name, definition) != errAuthorizationSuccess) {
                return errAuthorizationInternal;
            }
            const std::string rule = definition ? definition->rule : kAuthorizationRuleDefault;
            const auto& held = record->preauthorized_rights;
            const bool preauthorized = std::find(held.begin(), held.end(), item.name) != held.end();
            const rule_verdict_t verdict =
                authorization_judge_rule(rule, record->uid, preauthorized, flags);
            // The weightiest step taken for any right is what decided: asking outweighs a rule,
            // a rule outweighs what the authorization held.
            decision = std::max(decision, verdict == rule_verdict_t::ask_administrator
                                              ? AuthorizationDecision::polkit
                                          : preauthorized ? AuthorizationDecision::token
                                                          : AuthorizationDecision::rule);
            switch (verdict) {
                case rule_verdict_t::granted:
                    break;
                case rule_verdict_t::denied:
                    decision = AuthorizationDecision::rule;
                    return errAuthorizationDenied;
                case rule_verdict_t::interaction_not_allowed:
                    decision = AuthorizationDecision::rule;
                    return errAuthorizationInteractionNotAllowed;
                case rule_verdict_t::ask_administrator:
                    to_ask.emplace_back(item.name,
                                        environment_prompt(environment)
                                            .value_or(definition ? definition->description : ""));
                    break;
            }
        }
        if (!transaction->commit()) {
            return errAuthorizationInternal;
        }
    }
    if (to_ask.empty()) {
        return errAuthorizationSuccess;
    }
    const auto& presenter = authorization_access::presenter(authorization);
    if (!presenter) {
        return errAuthorizationDenied;  // nobody to ask about
    }
    for (const auto& [right, message] : to_ask) {
        const OSStatus answer = ask_polkit(*presenter, right, message);
        if (answer != errAuthorizationSuccess) {
            return answer;
        }
    }
    // Extending someone else's authorization (a token root issued for another user) would hand
    // that user what an administrator approved for this process.
    if ((flags & kAuthorizationFlagExtendRights) != 0 && presenter->process.uid == record->uid) {
        store_t store;
        auto transaction = begin_on_store(store, sqlite_transaction_t::kind::write);
        std::optional<authorization_store_t::stored_authorization_t> current;
        // Granted for this call either way; only keeping it for later calls can fail here.
        if (transaction && live_authorization(*store, hash, current) == errAuthorizationSuccess) {
            bool kept = current->preauthorized_rights.size() + to_ask.size() <=
                        kAuthorizationMaxPreauthorizedRights;
            for (const auto& asked : to_ask) {
                kept = kept && store->add_right(hash, asked.first) == errAuthorizationSuccess;
            }
            if (kept) {
                (void)transaction->commit();
            }
        }
    }
    return errAuthorizationSuccess;
}

OSStatus AuthorizationFree(AuthorizationRef&& authorization, AuthorizationFlags flags) {
    AuthorizationRef released(std::move(authorization));
    if (!released) {
        return errAuthorizationInvalidRef;
    }
    if ((flags & ~kAuthorizationFlagDestroyRights) != 0) {
        return errSecParam;
    }
    if ((flags & kAuthorizationFlagDestroyRights) == 0) {
        return errAuthorizationSuccess;
    }
    store_t store;
    auto transaction = begin_on_store(store, sqlite_transaction_t::kind::write);
    if (!transaction ||
        store->remove_authorization(authorization_access::hash(released)) !=
            errAuthorizationSuccess ||
        !transaction->commit()) {
        return errAuthorizationInternal;
    }
    return errAuthorizationSuccess;
}

OSStatus AuthorizationRightGet(const std::string& right_name,
                               std::optional<AuthorizationRightDefinition>& definition) {
    definition.reset();
    if (!authorization_name_is_valid(right_name)) {
        return errSecParam;
    }
    store_t store;
    if (authorization_store_t::open(store) != errAuthorizationSuccess ||
        store->find_right(right_name, definition) != errAuthorizationSuccess) {
        return errAuthorizationInternal;
    }
    return definition ? errAuthorizationSuccess : errAuthorizationDenied;
}

OSStatus AuthorizationRightSet(const AuthorizationRef& authorization, const std::string& right_name,
                               const std::string& rule, const std::string& description,
                               const std::string& localisation_table) {
    const bool valid = authorization_name_is_valid(right_name) &&
                       authorization_name_is_valid(rule) &&
                       text_is_valid(description, k_max_description) &&
                       text_is_valid(localisation_table, k_max_table_name);
    return change_rights(authorization, valid, [&](authorization_store_t& store) {
        return store.set_right(right_name, {rule, description, localisation_table});
    });
}

OSStatus AuthorizationRightRemove(const AuthorizationRef& authorization,
                                  const std::string& right_name) {
    bool removed = false;
    const OSStatus status = change_rights(
        authorization, authorization_name_is_valid(right_name),
        [&](authorization_store_t& store) { return store.remove_right(right_name, removed); });
    if (status != errAuthorizationSuccess) {
        return status;
    }
    return removed ? errAuthorizationSuccess : errAuthorizationDenied;
}

OSStatus AuthorizationIssueExternalForm(uid_t user, const std::vector<std::string>& rights,
                                        AuthorizationExternalForm& form) {
    form.bytes.fill(0);
    if (::geteuid() != 0) {
        return errAuthorizationDenied;
    }
    if (rights.size() > kAuthorizationMaxPreauthorizedRights ||
        !std::all_of(rights.begin(), rights.end(), authorization_name_is_valid)) {
        return errSecParam;
    }
    const auto user_name = authorization_user_name(user);
    if (!user_name) {
        return errSecParam;
    }
    AuthorizationExternalForm token;
    token_hash_t hash{};
    if (!random_token(token) || !hash_token(token, hash)) {
        return errAuthorizationInternal;
    }
    store_t store;
    auto transaction = begin_on_store(store, sqlite_transaction_t::kind::write);
    const std::int64_t issued = now();
    if (!transaction || store->remove_expired(issued) != errAuthorizationSuccess ||
        store->insert_authorization(hash, user, *user_name, issued,
                                    issued + kAuthorizationLifetimeSeconds,
                                    rights) != errAuthorizationSuccess ||
        !transaction->commit()) {
        return errAuthorizationInternal;
    }
    form = token;
    return errAuthorizationSuccess;
}

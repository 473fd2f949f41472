#include "auth/polkit_policy.h"

#include "auth/helper_tool_common.h"
#include "platform/authorization/authorization_rules.h"
#include "platform/authorization/polkit_authority.h"

namespace {

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace

std::string polkit_default_for_rule(const std::string& rule) {
    if (rule == kAuthorizationRuleIsAdmin) {
        return "auth_admin_keep";
    }
    if (rule == kAuthorizationRuleAuthenticateAdmin) {
        return "auth_admin";
    }
    return "no";
}

std::string polkit_policy_text() {
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE policyconfig PUBLIC \"-//freedesktop//DTD PolicyKit Policy Configuration "
        "1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/PolicyKit/1/policyconfig.dtd\">\n"
        "<!-- Made from the helper's rights table at build time; do not edit. -->\n"
        "<policyconfig>\n";
    helper_tool_common_t::enumerate_rights_using_block(
        [&](const std::string& name, const std::string& rule, const std::string& description) {
            const std::string answer = polkit_default_for_rule(rule);
            text += "  <action id=\"" + escaped(polkit_action_id(name)) + "\">\n";
            text += "    <description>" + escaped(description) + "</description>\n";
            text += "    <message>" + escaped(description) + "</message>\n";
            text += "    <defaults>\n";
            text += "      <allow_any>" + answer + "</allow_any>\n";
            text += "      <allow_inactive>" + answer + "</allow_inactive>\n";
            text += "      <allow_active>" + answer + "</allow_active>\n";
            text += "    </defaults>\n";
            text += "  </action>\n";
        });
    text += "</policyconfig>\n";
    return text;
}

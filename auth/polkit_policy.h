#pragma once

#include <string>

// The polkit action file of the four rights, made from the rights table at build time and
// installed where polkit reads actions: one action per right, its id polkit_action_id of the
// right's name, its description as both the action's description and the message polkit shows,
// and defaults from the right's rule (polkit_default_for_rule).
std::string polkit_policy_text();

// The polkit default ("auth_admin_keep", "auth_admin", "no") standing for a rule of the
// authorization database, for any, inactive and active sessions alike:
// - "is-admin" (the user must be an administrator, and one who has just shown it need not show it
//   again): auth_admin_keep, an administrator's password, kept for a few minutes;
// - "authenticate-admin" (an administrator authenticates each time): auth_admin;
// - any other rule holds for nobody: no.
// polkit can't grant a right for being an administrator alone without asking (that takes a rules
// file); the database's own "is-admin" still does so for a right registered with it.
std::string polkit_default_for_rule(const std::string& rule);

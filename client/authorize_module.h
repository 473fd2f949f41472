#pragma once

// The authorize command is a module of its own, loaded by corvana-helperctl only when that
// command is asked for: it needs the authorization database (SQLite) and its certificate code
// (OpenSSL), which no remote call uses, and a program loads every library it links before main.
// The module is found through corvana-helperctl's run path, in a directory of its own (never on
// the system's library path), and exports one function.

// corvana-helperctl authorize ARGS: argv[0] is "authorize". Exit status: 0 written, 1 failure,
// 2 usage error.
using authorize_entry_t = int(int argc, char** argv);

constexpr const char* k_authorize_module = "libcorvana-helperctl-authorize.so";
constexpr const char* k_authorize_entry = "corvana_authorize_command_main";

#pragma once

// The authorize command is a module of its own, loaded by corvana-helperctl only when that
// command is asked for: it needs the authorization database (SQLite) and its certificate code
// (OpenSSL), which no remote call uses, and a program loads every library it links before main.
// The module lives in the directory "corvana" beside the client library that corvana-helperctl
// loaded (<libdir>/corvana/, never on the system's library path) and exports one function.

// corvana-helperctl authorize ARGS: argv[0] is "authorize". Exit status: 0 written, 1 failure,
// 2 usage error.
using authorize_entry_t = int(int argc, char** argv);

constexpr const char* k_authorize_module = "corvana/libcorvana-helperctl-authorize.so";
constexpr const char* k_authorize_entry = "corvana_authorize_command_main";
